// What a client can tell on its own side about a port that no converter
// answers on: the port file "COMn" in the current directory missing, a link
// to nothing, or a link to a remote port whose host does not answer.
#ifndef TOV_PLATFORM_PORT_CHECK_H
#define TOV_PLATFORM_PORT_CHECK_H

#include <string>

namespace tov::ports {

// The reason, as a phrase that follows "no converter answers on COMn: ";
// empty when nothing is wrong that the client can see (or can check here).
std::string troubleWith(int comNumber);

}  // namespace tov::ports

#endif

// The converter's end of a pseudo-terminal, and the COMn link to its slave.
#ifndef K73_SIM_PTY_PTY_LINK_H
#define K73_SIM_PTY_PTY_LINK_H

#include <cstdint>
#include <string>

namespace k73 {

class PtyLink {
 public:
  PtyLink() = default;
  ~PtyLink();
  PtyLink(const PtyLink&) = delete;
  PtyLink& operator=(const PtyLink&) = delete;

  // Opens the master, non-blocking and raw at once (a new slave starts
  // cooked with echo, which would send our own bytes back to us).
  bool open(std::string* error);
  int fd() const { return fd_; }
  const std::string& slavePath() const { return slavePath_; }
  // The rate the host last set on its end (the slave's termios); 0 if unknown.
  uint32_t hostBaud() const;

 private:
  int fd_ = -1;
  std::string slavePath_;
};

// A symbolic link NAME -> target in the current directory, removed again by
// remove() only while it still points at our target.
class PortName {
 public:
  ~PortName() { remove(); }
  // Refuses to replace anything that is not a symbolic link.
  bool create(const std::string& name, const std::string& target, std::string* error);
  void remove();

 private:
  std::string name_;
  std::string target_;
};

}  // namespace k73

#endif

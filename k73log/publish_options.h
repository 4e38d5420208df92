// k73log's options for publishing to an MQTT broker and for running as a
// service: the broker's URL, the logger's id, its state directory.
#ifndef K73LOG_PUBLISH_OPTIONS_H
#define K73LOG_PUBLISH_OPTIONS_H

#include <string>

namespace k73log {

enum class PayloadFormat { Json, Influx };

struct BrokerUrl {
  bool tls = false;
  std::string user;
  std::string password;
  bool passwordGiven = false;
  std::string host;
  int port = 1883;
  std::string prefix;  // topic levels, no leading or trailing '/'
};

struct PublishOptions {
  bool enabled = false;
  BrokerUrl broker;
  std::string id;        // empty: HOSTNAME-COMn, or $K73LOG_ID in a service
  std::string stateDir;  // empty: $STATE_DIRECTORY, else ~/.local/state/k73log/ID
  int batch = 25;        // scans per message at most
  double drainS = 10;    // at the end, for the broker to take the spool
  int keepaliveS = 30;
  std::string caFile;
  std::string passwordFile;
  PayloadFormat format = PayloadFormat::Json;
  std::string device;  // path or URL the COMn link in the state directory names
  bool waitForConverter = false;
};

// "mqtt://[USER[:PASSWORD]@]HOST[:PORT]/PREFIX" or mqtts://; false with the
// one-line reason.
bool parseBrokerUrl(const std::string& text, BrokerUrl* url, std::string* error);

// The options below, by their long names without the dashes; false with the
// one-line reason. Unknown names are not taken here.
bool isPublishOption(const std::string& name);
bool takePublishOption(const std::string& name, const char* arg, PublishOptions* opts,
                       std::string* error);

// The logger's id when none is given: $K73LOG_ID (a service's instance name),
// else HOSTNAME-COMn.
std::string defaultLoggerId(int comNumber, const std::string& hostName);

}  // namespace k73log

#endif

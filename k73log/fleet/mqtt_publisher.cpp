// Scans from the spool to an MQTT broker with libmosquitto: QoS 1 on a
// persistent session, at most the in-flight window handed to the library at
// a time (the rest waits in the spool, so memory stays flat however long the
// broker is away), reconnects with backoff on a thread of its own.
#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "fleet.h"
#include "log_writer.h"
#include "payload.h"
#include "spool.h"

namespace k73log {

namespace {

constexpr int kWindow = 20;  // libmosquitto's own in-flight default
constexpr int64_t kBatchAgeMs = 1000;
constexpr int64_t kFirstBackoffMs = 1000;
constexpr int64_t kLongestBackoffMs = 30000;
constexpr int kLoopMs = 250;
// The acknowledged seq goes to disk (synced) at most this often: a crash
// resends at most this much again.
constexpr int64_t kAckWriteMs = 250;
constexpr size_t kMostEventsKept = 256;

int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

class LibraryUse {
 public:
  LibraryUse() { mosquitto_lib_init(); }
  ~LibraryUse() { mosquitto_lib_cleanup(); }
};

enum class Link { Down, Connecting, Up };

struct InFlight {
  int mid;
  int64_t lastSeq;
  bool acked;
};

class MqttPublisher : public Publisher {
 public:
  MqttPublisher(const PublishOptions& opts, std::string id) : opts_(opts), id_(std::move(id)) {
    const std::string base = opts.broker.prefix + "/" + id_;
    scansTopic_ = base + "/scans";
    eventsTopic_ = base + "/events";
    statusTopic_ = base + "/status";
  }

  ~MqttPublisher() override {
    stopThread();
    if (mosq_) mosquitto_destroy(mosq_);
  }

  bool open(const std::string& stateDir, std::string* error) {
    if (!spool_.open(stateDir, error)) return false;
    sentSeq_ = spool_.ackedSeq();
    acked_ = spool_.ackedSeq();
    std::string password = opts_.broker.password;
    bool withPassword = opts_.broker.passwordGiven;
    if (!opts_.passwordFile.empty()) {
      std::ifstream in(opts_.passwordFile);
      if (!in || !std::getline(in, password)) {
        *error = "cannot read the password from " + opts_.passwordFile;
        return false;
      }
      withPassword = true;
    }
    // The session outlives the connection: the broker keeps what it has not
    // acknowledged across our reconnects and its own restarts.
    mosq_ = mosquitto_new(("k73log-" + id_).c_str(), false, this);
    if (!mosq_) {
      *error = "cannot create the MQTT client";
      return false;
    }
    mosquitto_threaded_set(mosq_, true);
    mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, kWindow);
    mosquitto_connect_callback_set(mosq_, onConnect);
    mosquitto_disconnect_callback_set(mosq_, onDisconnect);
    mosquitto_publish_callback_set(mosq_, onPublish);
    mosquitto_log_callback_set(mosq_, onLog);
    const std::string offline = "offline";
    mosquitto_will_set(mosq_, statusTopic_.c_str(), int(offline.size()), offline.data(), 1, true);
    if (!opts_.broker.user.empty()) {
      mosquitto_username_pw_set(mosq_, opts_.broker.user.c_str(),
                                withPassword ? password.c_str() : nullptr);
    }
    if (opts_.broker.tls) {
      const char* caFile = opts_.caFile.empty() ? nullptr : opts_.caFile.c_str();
      const int rc = mosquitto_tls_set(mosq_, caFile, caFile ? nullptr : "/etc/ssl/certs", nullptr,
                                       nullptr, nullptr);
      if (rc != MOSQ_ERR_SUCCESS) {
        *error = "cannot use the certificate authorities " +
                 (caFile ? opts_.caFile : std::string("/etc/ssl/certs")) + ": " +
                 mosquitto_strerror(rc);
        return false;
      }
    }
    net_ = std::thread([this] { serve(); });
    return true;
  }

  void begin(const RunInfo& info) override {
    std::lock_guard<std::mutex> lock(m_);
    intervalS_ = info.intervalS;
    columns_ = info.columns;
    queueEvent("{\"event\": \"start\", \"id\": " + quoted(id_) + ", " +
               jsonlRunObject(info).substr(1));
  }

  bool spoolScan(Scan* scan) override {
    std::lock_guard<std::mutex> lock(m_);
    scan->seq = spool_.nextSeq();
    const bool nothingWaiting = spool_.lastSeq() == sentSeq_;
    std::string error;
    if (!spool_.append(jsonlScanObject(*scan, intervalS_, columns_), &error)) {
      std::fprintf(stderr, "k73log: %s\n", error.c_str());
      return false;
    }
    if (nothingWaiting) oldestUnsentMs_ = nowMs();
    pump();
    return true;
  }

  void gap(const GapMark& gap) override {
    std::lock_guard<std::mutex> lock(m_);
    queueEvent("{\"event\": \"gap\", \"from_utc\": " + quoted(isoUtc(gap.fromUtcMs)) +
               ", \"to_utc\": " + quoted(isoUtc(gap.toUtcMs)) +
               ", \"scans_missing\": " + std::to_string(gap.scansMissing) + "}");
  }

  void notice(const std::string& text) override {
    if (text != "scanning again") return;
    std::lock_guard<std::mutex> lock(m_);
    queueEvent("{\"event\": \"reconnect\", \"link\": \"converter\", \"time_utc\": " +
               quoted(isoUtc(utcNowMs())) + "}");
  }

  int64_t unacknowledged() override {
    std::lock_guard<std::mutex> lock(m_);
    return spool_.lastSeq() - acked_;
  }

  void finish(const RunTotals& totals) override {
    const int64_t deadline = nowMs() + static_cast<int64_t>(opts_.drainS * 1000);
    {
      std::lock_guard<std::mutex> lock(m_);
      draining_ = true;
      pump();
    }
    // A broker back while the network thread waits out its backoff is tried
    // at once: the drain time is for sending, and for saying "offline",
    // which a broker that crashed does not say for us (it keeps "online").
    retryNow_ = true;
    waitUntil(deadline, [&] { return acked_ == spool_.lastSeq() && link_ == Link::Up; });
    {
      std::lock_guard<std::mutex> lock(m_);
      keepAcked();
      queueEvent("{\"event\": \"end\", \"scans_written\": " + std::to_string(totals.scansWritten) +
                 ", \"gaps\": " + std::to_string(totals.gaps) +
                 ", \"scans_missing\": " + std::to_string(totals.scansMissing) +
                 ", \"exit_code\": " + std::to_string(totals.exitCode) +
                 ", \"failure\": " + quoted(totals.failure) +
                 ", \"unacknowledged\": " + std::to_string(spool_.lastSeq() - acked_) + "}");
      if (link_ == Link::Up) {
        publishRaw(statusTopic_, "offline", true, &lastControlMid_);
        closing_ = true;
      }
    }
    bool disconnected = false;
    if (closing_) {
      // The end event and "offline" get a moment beyond the drain time.
      waitUntil(std::max(deadline, nowMs() + 1000), [&] { return controlAcked_; });
      std::lock_guard<std::mutex> lock(m_);
      // A DISCONNECT cancels the last will: it is said only once the broker
      // has "offline" (which may wait behind a full in-flight window).
      if (controlAcked_) disconnected = mosquitto_disconnect(mosq_) == MOSQ_ERR_SUCCESS;
    }
    if (disconnected) waitUntil(nowMs() + 1000, [&] { return link_ == Link::Down; });
    stopThread();
    // Otherwise the connection just closes, and the broker's will says
    // "offline".
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    link_ = Link::Down;
    keepAcked();
    const int64_t left = spool_.lastSeq() - spool_.ackedSeq();
    if (left > 0) {
      std::fprintf(stderr, "k73log: %lld scans not yet taken by the broker stay in %s\n",
                   static_cast<long long>(left), spool_.path().c_str());
    }
  }

 private:
  static int64_t utcNowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  }

  template <typename Done>
  void waitUntil(int64_t deadline, Done done) {
    std::unique_lock<std::mutex> lock(m_);
    while (!done() && nowMs() < deadline) {
      changed_.wait_for(lock, std::chrono::milliseconds(std::min<int64_t>(50, deadline - nowMs())));
    }
  }

  void stopThread() {
    stop_ = true;
    if (net_.joinable()) net_.join();
  }

  // Events wait in memory while the broker is away (the newest few hundred).
  void queueEvent(const std::string& json) {
    events_.push_back(json);
    if (events_.size() > kMostEventsKept) events_.pop_front();
    flushEvents();
  }

  void flushEvents() {
    if (link_ != Link::Up) return;
    for (const std::string& event : events_)
      publishRaw(eventsTopic_, event, false, &lastControlMid_);
    if (!events_.empty()) controlAcked_ = false;
    events_.clear();
  }

  int publishRaw(const std::string& topic, const std::string& payload, bool retain, int* mid) {
    const int rc = mosquitto_publish(mosq_, mid, topic.c_str(), int(payload.size()), payload.data(),
                                     1, retain);
    if (mid == &lastControlMid_) controlAcked_ = false;
    return rc;
  }

  // Hands the library what is due from the spool, within the window.
  void pump() {
    if (link_ != Link::Up) return;
    std::vector<std::string> lines;
    while (static_cast<int>(inFlight_.size()) < kWindow) {
      const int64_t waiting = spool_.lastSeq() - sentSeq_;
      if (waiting <= 0) break;
      const bool due =
          waiting >= opts_.batch || draining_ || nowMs() - oldestUnsentMs_ >= kBatchAgeMs;
      if (!due) break;
      int64_t last = 0;
      spool_.readAfter(sentSeq_, opts_.batch, &lines, &last);
      if (lines.empty()) break;
      const std::string payload =
          opts_.format == PayloadFormat::Influx ? influxPayload(lines, id_) : jsonPayload(lines);
      int mid = 0;
      const int rc = mosquitto_publish(mosq_, &mid, scansTopic_.c_str(), int(payload.size()),
                                       payload.data(), 1, false);
      // Not connected any more: the library keeps the message and sends it
      // after the reconnection, like the others in flight.
      if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
        std::fprintf(stderr, "k73log: cannot publish: %s\n", mosquitto_strerror(rc));
        break;
      }
      inFlight_.push_back({mid, last, false});
      sentSeq_ = last;
    }
  }

  // On the network thread, from inside mosquitto_loop: only noted here.
  static void onConnect(mosquitto*, void* self, int rc) {
    auto* p = static_cast<MqttPublisher*>(self);
    std::lock_guard<std::mutex> lock(p->eventsMutex_);
    p->connack_ = rc;
  }
  static void onDisconnect(mosquitto*, void* self, int rc) {
    auto* p = static_cast<MqttPublisher*>(self);
    std::lock_guard<std::mutex> lock(p->eventsMutex_);
    p->disconnected_ = true;
    p->disconnectRc_ = rc;
  }
  static void onPublish(mosquitto*, void* self, int mid) {
    auto* p = static_cast<MqttPublisher*>(self);
    std::lock_guard<std::mutex> lock(p->eventsMutex_);
    p->acks_.push_back(mid);
  }

  // The library's own words on a failure (OpenSSL's, for TLS), kept for the
  // next report.
  static void onLog(mosquitto*, void* self, int level, const char* text) {
    if (level != MOSQ_LOG_ERR || text == nullptr) return;
    auto* p = static_cast<MqttPublisher*>(self);
    std::lock_guard<std::mutex> lock(p->eventsMutex_);
    p->libraryError_ = text;
  }

  std::string brokerName() const {
    return opts_.broker.host + ":" + std::to_string(opts_.broker.port);
  }

  void linkDown(std::string why, int64_t* backoffMs, int64_t* nextAttempt) {
    if (link_ == Link::Up) downSinceUtcMs_ = utcNowMs();
    link_ = Link::Down;
    keepAcked();
    if (closing_) return;
    while (!why.empty() && why.back() == '.') why.pop_back();
    {
      std::lock_guard<std::mutex> lock(eventsMutex_);
      if (!libraryError_.empty()) why += " (" + libraryError_ + ")";
      if (libraryError_.find("certificate verify failed") != std::string::npos) {
        why += ": the broker's certificate is not signed by a CA in " +
               (opts_.caFile.empty() ? std::string("/etc/ssl/certs") : opts_.caFile) +
               " or does not name " + opts_.broker.host;
      }
      libraryError_.clear();
    }
    std::fprintf(stderr, "k73log: broker %s: %s; next try in %lld s\n", brokerName().c_str(),
                 why.c_str(), static_cast<long long>(*backoffMs / 1000));
    *nextAttempt = nowMs() + *backoffMs;
    *backoffMs = std::min(*backoffMs * 2, kLongestBackoffMs);
  }

  // The acknowledged seq on disk, with m_ held.
  void keepAcked() {
    if (acked_ <= spool_.ackedSeq()) return;
    std::string error;
    if (!spool_.acknowledge(acked_, &error)) std::fprintf(stderr, "k73log: %s\n", error.c_str());
    ackWrittenMs_ = nowMs();
  }

  // What the callbacks noted, with m_ held.
  // loopFailure: why the network loop failed, when it did.
  void takeNotes(const std::string& loopFailure, int64_t* backoffMs, int64_t* nextAttempt) {
    std::vector<int> acks;
    int connack = -1;
    bool disconnected = false;
    int disconnectRc = 0;
    {
      std::lock_guard<std::mutex> lock(eventsMutex_);
      acks.swap(acks_);
      std::swap(connack, connack_);
      std::swap(disconnected, disconnected_);
      disconnectRc = disconnectRc_;
    }
    for (int mid : acks) {
      if (mid == lastControlMid_) controlAcked_ = true;
      for (InFlight& f : inFlight_) {
        if (f.mid == mid) f.acked = true;
      }
    }
    while (!inFlight_.empty() && inFlight_.front().acked) {
      acked_ = inFlight_.front().lastSeq;
      inFlight_.pop_front();
    }
    if (nowMs() - ackWrittenMs_ >= kAckWriteMs) keepAcked();
    if (connack == 0) {
      const bool again = everConnected_;
      link_ = Link::Up;
      everConnected_ = true;
      *backoffMs = kFirstBackoffMs;
      publishRaw(statusTopic_, "online", true, nullptr);
      if (again) {
        events_.push_front("{\"event\": \"reconnect\", \"link\": \"broker\", \"down_since_utc\": " +
                           quoted(isoUtc(downSinceUtcMs_)) +
                           ", \"backlog\": " + std::to_string(spool_.lastSeq() - acked_) + "}");
      }
      flushEvents();
    } else if (connack > 0) {
      linkDown(std::string("refused: ") + mosquitto_connack_string(connack), backoffMs,
               nextAttempt);
      mosquitto_disconnect(mosq_);
    }
    if (disconnected && link_ != Link::Down) {
      std::string why = disconnectRc == 0 ? "disconnected" : "connection lost";
      if (link_ == Link::Connecting && !loopFailure.empty()) why = loopFailure;
      linkDown(why, backoffMs, nextAttempt);
    }
    changed_.notify_all();
  }

  void serve() {
    int64_t backoffMs = kFirstBackoffMs;
    int64_t nextAttempt = 0;
    int64_t connectingSince = 0;
    bool first = true;
    while (!stop_) {
      if (retryNow_.exchange(false)) {
        nextAttempt = 0;
        backoffMs = kFirstBackoffMs;
      }
      if (link_ == Link::Down) {
        if (closing_) break;
        if (nowMs() < nextAttempt) {
          std::this_thread::sleep_for(
              std::chrono::milliseconds(std::min<int64_t>(kLoopMs, nextAttempt - nowMs())));
          continue;
        }
        const int rc = first ? mosquitto_connect_async(mosq_, opts_.broker.host.c_str(),
                                                       opts_.broker.port, opts_.keepaliveS)
                             : mosquitto_reconnect_async(mosq_);
        std::lock_guard<std::mutex> lock(m_);
        if (rc != MOSQ_ERR_SUCCESS) {
          linkDown(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc), &backoffMs,
                   &nextAttempt);
          continue;
        }
        first = false;
        link_ = Link::Connecting;
        connectingSince = nowMs();
      }
      const int rc = mosquitto_loop(mosq_, kLoopMs, 1);
      const std::string failure = rc == MOSQ_ERR_SUCCESS ? ""
                                  : rc == MOSQ_ERR_ERRNO ? std::strerror(errno)
                                                         : mosquitto_strerror(rc);
      std::lock_guard<std::mutex> lock(m_);
      takeNotes(failure, &backoffMs, &nextAttempt);
      if (rc != MOSQ_ERR_SUCCESS && link_ != Link::Down)
        linkDown(failure, &backoffMs, &nextAttempt);
      if (link_ == Link::Connecting && nowMs() - connectingSince > 10000) {
        linkDown("no answer", &backoffMs, &nextAttempt);
        mosquitto_disconnect(mosq_);
      }
      pump();
    }
  }

  PublishOptions opts_;
  std::string id_, scansTopic_, eventsTopic_, statusTopic_;
  LibraryUse library_;
  mosquitto* mosq_ = nullptr;
  Spool spool_;
  std::thread net_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> retryNow_{false};

  std::mutex m_;  // everything below, between the run's thread and the network's
  std::condition_variable changed_;
  double intervalS_ = 0;
  std::vector<std::string> columns_;
  Link link_ = Link::Down;
  bool everConnected_ = false;
  bool draining_ = false;
  std::atomic<bool> closing_{false};  // read by the network thread without m_
  int64_t sentSeq_ = 0;
  int64_t acked_ = 0;  // all up to it acknowledged; on disk within kAckWriteMs
  int64_t ackWrittenMs_ = 0;
  int64_t oldestUnsentMs_ = 0;  // 0: a backlog from before, due at once
  int64_t downSinceUtcMs_ = 0;
  std::deque<InFlight> inFlight_;
  std::deque<std::string> events_;
  int lastControlMid_ = -1;
  bool controlAcked_ = true;

  std::mutex eventsMutex_;  // what the callbacks note
  std::vector<int> acks_;
  int connack_ = -1;
  bool disconnected_ = false;
  int disconnectRc_ = 0;
  std::string libraryError_;
};

}  // namespace

std::unique_ptr<Publisher> makePublisher(const PublishOptions& opts, const std::string& id,
                                         std::string* error) {
  std::string dir;
  if (!stateDirectory(opts, id, &dir, error)) return nullptr;
  auto publisher = std::make_unique<MqttPublisher>(opts, id);
  if (!publisher->open(dir, error)) return nullptr;
  return publisher;
}

}  // namespace k73log

// The local spool of a publishing logger: one line per scan, each with its
// seq, appended and flushed before the scan counts as logged, and the
// highest seq the broker acknowledged, in a small file written and synced.
// Lines past the acknowledged seq are read back in order for sending; past a
// size, what the broker has is dropped from the spool.
#ifndef K73LOG_FLEET_SPOOL_H
#define K73LOG_FLEET_SPOOL_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace k73log {

class Spool {
 public:
  ~Spool();
  // Locks the directory's spool against a second logger with the same id,
  // drops a line cut short by a crash, and finds where sending resumes.
  bool open(const std::string& dir, std::string* error);
  int64_t lastSeq() const { return lastSeq_; }  // 0: none yet
  int64_t ackedSeq() const { return ackedSeq_; }
  int64_t nextSeq() const { return lastSeq_ + 1; }
  // The scan numbered nextSeq(), its object starting {"seq": N, ... False
  // with the reason (a full disk).
  bool append(const std::string& object, std::string* error);
  // Up to `max` lines after `afterSeq`, in order, synced to the disk; the
  // last one's seq in *last (afterSeq when none could be synced).
  void readAfter(int64_t afterSeq, int max, std::vector<std::string>* lines, int64_t* last);
  // Keeps the acknowledged seq on disk; starts the spool afresh when it
  // holds nothing else. False with the reason.
  bool acknowledge(int64_t seq, std::string* error);
  const std::string& path() const { return path_; }

 private:
  bool writeAcked(int64_t seq, std::string* error);
  void seekReader(int64_t afterSeq);
  void keepUnacknowledged();

  std::string dir_, path_;
  int lockFd_ = -1;
  std::FILE* writer_ = nullptr;
  std::FILE* reader_ = nullptr;
  int64_t readerSeq_ = 0;  // seq of the last line the reader returned
  int64_t syncedSeq_ = 0;  // every line up to it is on the disk
  int64_t lastSeq_ = 0;
  int64_t ackedSeq_ = 0;
  int64_t bytes_ = 0;
  int64_t compactAtBytes_ = 1 << 20;
};

// The seq of a spool line, 0 when it has none.
int64_t seqOfLine(const std::string& line);

}  // namespace k73log

#endif

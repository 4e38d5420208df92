#include "spool.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace k73log {

namespace {

constexpr const char* kSeqField = "{\"seq\": ";
// Starting afresh is cheap; doing it only past this size keeps a recent
// history in the spool for a look by hand.
constexpr int64_t kCompactBytes = 1 << 20;

bool syncAndClose(std::FILE* f) {
  const bool ok = std::fflush(f) == 0 && fsync(fileno(f)) == 0;
  return std::fclose(f) == 0 && ok;
}

bool readLine(std::FILE* f, std::string* line) {
  line->clear();
  int c;
  while ((c = std::fgetc(f)) != EOF) {
    if (c == '\n') return true;
    line->push_back(static_cast<char>(c));
  }
  return false;  // end of file, and a line without its end is not whole yet
}

}  // namespace

int64_t seqOfLine(const std::string& line) {
  if (line.rfind(kSeqField, 0) != 0) return 0;
  return std::strtoll(line.c_str() + std::strlen(kSeqField), nullptr, 10);
}

Spool::~Spool() {
  if (writer_) std::fclose(writer_);
  if (reader_) std::fclose(reader_);
  if (lockFd_ >= 0) close(lockFd_);
}

bool Spool::open(const std::string& dir, std::string* error) {
  dir_ = dir;
  path_ = dir + "/spool.jsonl";
  const std::string lockPath = dir + "/lock";
  lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lockFd_ < 0) {
    *error = "cannot open " + lockPath + ": " + std::strerror(errno);
    return false;
  }
  if (flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    *error = "another k73log uses the state directory " + dir;
    return false;
  }
  if (std::FILE* acked = std::fopen((dir + "/acked-seq").c_str(), "r")) {
    long long seq = 0;
    if (std::fscanf(acked, "%lld", &seq) == 1 && seq > 0) ackedSeq_ = seq;
    std::fclose(acked);
  }
  writer_ = std::fopen(path_.c_str(), "a+");
  if (!writer_) {
    *error = "cannot open the spool " + path_ + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fileno(writer_), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "the spool " + path_ + " is not a regular file";
    return false;
  }
  // The whole lines and their last seq; a line a crash cut short goes.
  std::rewind(writer_);
  std::string line;
  int64_t whole = 0;
  while (readLine(writer_, &line)) {
    whole += static_cast<int64_t>(line.size()) + 1;
    const int64_t seq = seqOfLine(line);
    if (seq > lastSeq_) lastSeq_ = seq;
  }
  if (std::ftell(writer_) != whole && ftruncate(fileno(writer_), whole) != 0) {
    *error = "cannot repair the spool " + path_ + ": " + std::strerror(errno);
    return false;
  }
  std::fseek(writer_, 0, SEEK_END);
  bytes_ = whole;
  if (ackedSeq_ > lastSeq_) lastSeq_ = ackedSeq_;  // the spool started afresh
  reader_ = std::fopen(path_.c_str(), "r");
  if (!reader_) {
    *error = "cannot read the spool " + path_ + ": " + std::strerror(errno);
    return false;
  }
  seekReader(ackedSeq_);
  return true;
}

bool Spool::append(const std::string& object, std::string* error) {
  const std::string line = object + "\n";
  const bool written = std::fwrite(line.data(), 1, line.size(), writer_) == line.size();
  if (!written || std::fflush(writer_) != 0) {
    *error = "cannot write the spool " + path_ + ": " + std::strerror(errno);
    // What went out in part is cut off again, so that the spool stays whole.
    std::clearerr(writer_);
    if (ftruncate(fileno(writer_), bytes_) == 0) std::fseek(writer_, 0, SEEK_END);
    return false;
  }
  bytes_ += static_cast<int64_t>(line.size());
  ++lastSeq_;
  return true;
}

void Spool::seekReader(int64_t afterSeq) {
  std::clearerr(reader_);
  std::rewind(reader_);
  readerSeq_ = 0;
  std::string line;
  long at = 0;
  while (readLine(reader_, &line)) {
    const int64_t seq = seqOfLine(line);
    if (seq > afterSeq) break;
    readerSeq_ = seq;
    at = std::ftell(reader_);
  }
  std::clearerr(reader_);
  std::fseek(reader_, at, SEEK_SET);
  readerSeq_ = afterSeq;  // every line before the reader is at or below it
}

void Spool::readAfter(int64_t afterSeq, int max, std::vector<std::string>* lines, int64_t* last) {
  lines->clear();
  if (readerSeq_ != afterSeq) seekReader(afterSeq);
  std::string line;
  while (static_cast<int>(lines->size()) < max) {
    const long at = std::ftell(reader_);
    if (!readLine(reader_, &line)) {
      std::clearerr(reader_);
      std::fseek(reader_, at, SEEK_SET);  // the rest of the line is still coming
      break;
    }
    readerSeq_ = seqOfLine(line);
    lines->push_back(line);
  }
  *last = readerSeq_;
  // Nothing leaves for the broker before it is on the disk: after a power
  // cut the spool must still hold every seq the broker may have, or the next
  // run would number new scans with seqs a subscriber has already taken.
  if (readerSeq_ > syncedSeq_) {
    if (fdatasync(fileno(writer_)) != 0) {
      lines->clear();  // the next call reads them again
      *last = afterSeq;
      readerSeq_ = -1;
      return;
    }
    syncedSeq_ = lastSeq_;
  }
}

bool Spool::writeAcked(int64_t seq, std::string* error) {
  const std::string path = dir_ + "/acked-seq";
  const std::string temporary = path + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const std::string text = std::to_string(seq) + "\n";
  bool ok =
      fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size()) && fsync(fd) == 0;
  if (fd >= 0) ok = close(fd) == 0 && ok;
  ok = ok && std::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) *error = "cannot write " + path + ": " + std::strerror(errno);
  return ok;
}

bool Spool::acknowledge(int64_t seq, std::string* error) {
  if (seq <= ackedSeq_) return true;
  if (!writeAcked(seq, error)) return false;
  ackedSeq_ = seq;
  if (bytes_ <= compactAtBytes_) return true;
  if (ackedSeq_ == lastSeq_) {
    // Everything is with the broker: the acknowledged seq alone carries the
    // numbering on.
    if (ftruncate(fileno(writer_), 0) == 0) {
      std::fseek(writer_, 0, SEEK_END);
      bytes_ = 0;
      seekReader(ackedSeq_);
    }
  } else {
    // A broker further away than a scan interval is never quite done:
    // the lines still unacknowledged go to a new spool that takes the
    // old one's place. A failure leaves the old one as it was.
    keepUnacknowledged();
  }
  // A long backlog is not copied again and again while it is sent.
  compactAtBytes_ = std::max(kCompactBytes, 2 * bytes_);
  return true;
}

void Spool::keepUnacknowledged() {
  // Copied only when the broker has at least half of it, so that catching
  // up on a long backlog is not held up by copying it.
  seekReader(ackedSeq_);
  if (std::ftell(reader_) * 2 < bytes_) return;
  const std::string fresh = path_ + ".new";
  std::FILE* out = std::fopen(fresh.c_str(), "w");
  if (!out) return;
  std::string line;
  int64_t kept = 0;
  bool ok = true;
  while (ok && readLine(reader_, &line)) {
    line.push_back('\n');
    ok = std::fwrite(line.data(), 1, line.size(), out) == line.size();
    kept += static_cast<int64_t>(line.size());
  }
  ok = syncAndClose(out) && ok && kept <= bytes_;
  std::FILE* writer = ok ? std::fopen(fresh.c_str(), "a") : nullptr;
  std::FILE* reader = writer ? std::fopen(fresh.c_str(), "r") : nullptr;
  if (!reader || std::rename(fresh.c_str(), path_.c_str()) != 0) {
    if (writer) std::fclose(writer);
    if (reader) std::fclose(reader);
    std::remove(fresh.c_str());
    seekReader(ackedSeq_);
    return;
  }
  std::fclose(writer_);
  std::fclose(reader_);
  writer_ = writer;
  reader_ = reader;
  bytes_ = kept;
  seekReader(ackedSeq_);
}

}  // namespace k73log

// "tovset.cfg": 26 lines, one number each, in a fixed order and without
// names. Both directions walk one table of fields: where each line's value
// lives, how it is written and read, and which values the program can use.
#include "settings_file.h"

#include <cfloat>
#include <cstdio>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "file_replace.h"
#include "number_text.h"

namespace tov {

namespace {

constexpr int kLineSize = 80;  // a line is read in pieces of at most 79 characters

enum class Kind {
  Word,  // "%d"; a read value is kept to its low 16 bits, as the slot's width
  Long,  // "%d"; a read value is kept to its low 32 bits
  Real,  // "%lf"; finite, and short enough to be one line
};

using Slot = std::variant<int16_t*, int32_t*, uint32_t*, double*, float*>;

// A value the program or the driver would use as an index, a divisor or a
// count it cannot handle is refused: the field keeps what it had.
using Check = bool (*)(double);

struct Field {
  Kind kind;
  Slot slot;
  Check accepts;  // nullptr: every value
};

template <int Low, int High>
bool InRange(double v) {
  return v >= Low && v <= High;
}
bool NonZero(double v) {
  return v != 0;
}
bool AtLeastOne(double v) {
  return v >= 1;
}
bool Positive(double v) {
  return v > 0;
}
bool PositiveFloat(double v) {
  return v > 0 && v <= FLT_MAX;  // a rate beyond the float range has no float value
}
bool IsGain(double v) {
  const int g = static_cast<int>(v);
  return g == v && g >= 1 && g <= 128 && (g & (g - 1)) == 0;
}

// The file's lines in order.
std::vector<Field> Fields(DeviceRecord* rec, int32_t* localAveraging) {
  std::vector<Field> fields = {
      {Kind::Long, &rec->outQueueSize, nullptr},
      {Kind::Long, &rec->inQueueSize, nullptr},
      {Kind::Word, &rec->baudIndex, InRange<0, 5>},
      {Kind::Word, &rec->deviceIndex, nullptr},
      {Kind::Real, &rec->scanInterval, Positive},
      {Kind::Word, &rec->pointsPerScan, InRange<0, 96>},
      {Kind::Long, &rec->remoteAvg, NonZero},
      {Kind::Word, &rec->scanType, InRange<0, 2>},
  };
  for (int16_t& entry : rec->scanTable) fields.push_back({Kind::Word, &entry, InRange<0, 0xFF>});
  const std::vector<Field> rest = {
      {Kind::Word, &rec->singleChanCode, InRange<0, 0x7F>},
      {Kind::Word, &rec->channel, InRange<0, 7>},
      {Kind::Word, &rec->subChannel, InRange<0, 15>},
      {Kind::Word, &rec->bytesPerConversion, InRange<2, 3>},
      {Kind::Word, &rec->bipolar, nullptr},
      {Kind::Word, &rec->filter, InRange<0, 2>},
      {Kind::Word, &rec->gain, IsGain},
      {Kind::Real, &rec->sampleRate, PositiveFloat},
      {Kind::Word, &rec->modeLow, nullptr},
      {Kind::Word, &rec->modeMid, nullptr},
      {Kind::Word, &rec->modeHigh, nullptr},
      // Kept in a 32-bit slot; the program uses its low 16 bits.
      {Kind::Word, localAveraging, AtLeastOne},
  };
  fields.insert(fields.end(), rest.begin(), rest.end());
  return fields;
}

// The value a line holds for the field, cut to the field's width; false when
// the line has none.
bool ReadValue(const Field& field, const char* line, double* value) {
  if (field.kind == Kind::Real) {
    if (!ParseReal(line, value)) return false;
    // A value whose six-decimal form would not fit one line could not be
    // saved and read back (the rest of the line would become the next fields).
    return std::snprintf(nullptr, 0, "%lf", *value) < kLineSize - 1;
  }
  int32_t n = 0;
  if (!ParseInteger(line, &n)) return false;
  *value = field.kind == Kind::Word ? Low16(n) : n;
  return true;
}

void Store(const Field& field, double value) {
  std::visit(
      [value](auto* slot) {
        using T = std::remove_pointer_t<decltype(slot)>;
        if constexpr (std::is_floating_point_v<T>)
          *slot = static_cast<T>(value);
        else  // a negative 32-bit value in an unsigned slot keeps its bits
          *slot = static_cast<T>(static_cast<int32_t>(value));
      },
      field.slot);
}

bool WriteLine(std::FILE* file, const Field& field) {
  return std::visit(
      [&](auto* slot) {
        using T = std::remove_pointer_t<decltype(slot)>;
        if constexpr (std::is_floating_point_v<T>)
          return std::fprintf(file, "%lf\n", static_cast<double>(*slot)) > 0;
        else if (field.kind == Kind::Word)
          return std::fprintf(file, "%d\n", static_cast<int16_t>(*slot)) > 0;
        else
          return std::fprintf(file, "%d\n", static_cast<int32_t>(*slot)) > 0;
      },
      field.slot);
}

}  // namespace

void SetConfigurationDefaults(DeviceRecord* rec, int32_t& localAveraging) {
  rec->outQueueSize = 1;
  rec->inQueueSize = 1024;
  rec->baudIndex = 0;
  rec->deviceIndex = 0;
  rec->filter = 2;
  rec->gain = 1;
  rec->sampleRate = 10.0f;
  rec->bytesPerConversion = 3;
  rec->bipolar = 1;
  rec->remoteAvg = 1;
  rec->scanInterval = 2.0;
  rec->pointsPerScan = 6;
  for (int16_t& entry : rec->scanTable) entry = 0;
  rec->singleChanCode = 0;
  rec->scanType = 1;
  rec->channel = 0;
  rec->subChannel = 0;
  localAveraging = 1;
}

bool LoadConfiguration(DeviceRecord* rec, int32_t& localAveraging, const char* fileName) {
  std::FILE* file = std::fopen(fileName, "r");
  if (!file) {
    SetConfigurationDefaults(rec, localAveraging);
    return false;
  }
  char line[kLineSize];
  // A missing line leaves its field as it was, rather than repeating the
  // last value read.
  for (const Field& field : Fields(rec, &localAveraging)) {
    if (!std::fgets(line, sizeof line, file)) break;
    double value = 0;
    if (ReadValue(field, line, &value) && (!field.accepts || field.accepts(value)))
      Store(field, value);
  }
  std::fclose(file);
  return true;
}

bool SaveConfiguration(const DeviceRecord* rec, int32_t localAveraging, const char* fileName) {
  // Written whole beside the file and checked before it takes the file's
  // place: a full disk or a crash part-way leaves the old file as it was.
  const std::string temporary = std::string(fileName) + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "w");
  if (!file) return false;
  // The table is only read here; it names the fields of a copy.
  DeviceRecord copy = *rec;
  bool written = true;
  for (const Field& field : Fields(&copy, &localAveraging)) {
    written = WriteLine(file, field) && written;
  }
  written = std::fflush(file) == 0 && !std::ferror(file) && written;
  written = std::fclose(file) == 0 && written;
  if (written && files::replaceFile(temporary.c_str(), fileName)) return true;
  std::remove(temporary.c_str());
  return false;
}

}  // namespace tov

// The text of k73log --help; man k73log says the same at length.
#include "options.h"

namespace k73log {

const char* usageText() {
  return "Usage: k73log [options]\n"
         "Logs the scans of a Model K73 converter with times, until interrupted.\n"
         "\n"
         "  --port COMn          the converter's port (default COM1)\n"
         "  --channels LIST      CH, CH:CODE or CH:FIRST-LAST, comma-separated;\n"
         "                       channels 0-5, control codes 0-15 (default 0)\n"
         "  --type TYPE          normal, selfcal or single (default normal)\n"
         "  --interval SECONDS   between scans (default: the shortest accepted)\n"
         "  --count N            stop after N scans\n"
         "  --duration TIME      stop after 30s, 15m, 8h ... from the first scan\n"
         "  --baud RATE          9600, 4800, 2400, 1200, 600 or 300\n"
         "  --bits 24|16         conversion word\n"
         "  --bipolar, --unipolar  input range\n"
         "  --gain G             1, 2, 4 ... 128\n"
         "  --filter 4|40|400    digital filter (Hz)\n"
         "  --rate HZ            conversions per second, 10-1027\n"
         "  --average N          conversions averaged per point, 1, 2, 4 ... 128\n"
         "  --settings FILE      converter settings from a tovset.cfg file\n"
         "  --format FORMAT      dat, csv or jsonl (default: by the file name, else dat)\n"
         "  -o FILE              append to FILE (default -: standard output)\n"
         "  --no-header          no header lines (dat) or run object (jsonl)\n"
         "  --no-reconnect       end the run at the first failure\n"
         "  -q, --quiet          no progress or notices on standard error\n"
         "  -v, --verbose        progress and notices even when not on a terminal\n"
         "  --config FILE        options from FILE (name = value), the command line's on top\n"
         "Publishing to an MQTT broker, running as a service:\n"
         "  --mqtt URL           mqtt[s]://[USER[:PASSWORD]@]HOST[:PORT]/PREFIX\n"
         "  --id ID              logger id in the topics (default HOSTNAME-COMn)\n"
         "  --state-dir DIR      spool and acknowledged seq (default $STATE_DIRECTORY,\n"
         "                       else ~/.local/state/k73log/ID)\n"
         "  --mqtt-batch N       scans per message at most (default 25)\n"
         "  --mqtt-drain SECONDS at the end, wait for the broker (default 10)\n"
         "  --mqtt-keepalive S   keep-alive period (default 30)\n"
         "  --mqtt-ca FILE       certificate authorities for mqtts://\n"
         "  --mqtt-password-file FILE  the password, first line of FILE\n"
         "  --mqtt-format FMT    json or influx (default json)\n"
         "  --device PATH|URL    make COMn in the state directory a link to it\n"
         "  --wait-for-converter wait for an absent converter with backoff\n"
         "  -h, --help           this text\n"
         "  --version            the program's version\n";
}

}  // namespace k73log

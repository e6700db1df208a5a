// Finding the cards and reading who they are, through the Library as the
// tool's own "-list" does: the node opens, the unlock probe finds the
// controller, then IDENTIFY (ATA) or the configure table (SCSI) gives the
// identity. Nothing here writes to a card.
#ifndef QEL_STATION_CARDACCESS_H_
#define QEL_STATION_CARDACCESS_H_

#include <string>
#include <vector>

struct CardIdentity {
  std::string serial, model, firmware;
};

// What a card answered: `problem` is "" when it answered in full, else one
// line on why not (the node did not open, no controller, IDENTIFY failed).
struct CardAnswer {
  bool controller = false;  // the unlock probe found the controller
  CardIdentity identity;
  std::string problem;
};

// Node names the tool takes: 19 characters at most.
constexpr size_t kMaxNodeLength = 19;

// The nodes "-list" scans: /dev/sda to /dev/sdj.
std::vector<std::string> ScannedNodes();

// Follows the symbolic links of `given` (such as /dev/disk/by-id/...) to the
// node itself, whether or not that node exists yet. False with *error when
// the links loop or the node's name is no plain name the tool can take.
bool ResolveNode(const std::string& given, std::string* node, std::string* error);

// The node's last component: "sdb" for "/dev/sdb".
std::string NodeName(const std::string& node);

// Opens `node`, probes it and reads its identity; every command goes into
// the trace file `tracePath` (at most 127 characters).
CardAnswer ReadCard(const std::string& node, const std::string& tracePath);

#endif  // QEL_STATION_CARDACCESS_H_

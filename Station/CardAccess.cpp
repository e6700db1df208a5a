#include "CardAccess.h"

#include <errno.h>
#include <stdio.h>
#include <unistd.h>

#include "EXCMDFunc.h"
#include "QC3300.h"

namespace {

// Symbolic links followed before a name is taken to loop.
constexpr int kMaxLinkHops = 16;

// Copies an ATA string of `words` words (high byte first in each word), up
// to a NUL, without the blanks around it.
std::string AtaString(const unsigned char* data, int words) {
  std::string text;
  for (int i = 0; i < words; ++i) {
    text += static_cast<char>(data[2 * i + 1]);
    text += static_cast<char>(data[2 * i]);
  }
  size_t end = text.find('\0');
  if (end != std::string::npos) text.resize(end);
  const char* blanks = " \t\n";
  size_t begin = text.find_first_not_of(blanks);
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(blanks) - begin + 1);
}

}  // namespace

std::vector<std::string> ScannedNodes() {
  std::vector<std::string> nodes;
  for (char letter = 'a'; letter <= 'j'; ++letter) nodes.push_back(std::string("/dev/sd") + letter);
  return nodes;
}

std::string NodeName(const std::string& node) { return node.substr(node.rfind('/') + 1); }

bool ResolveNode(const std::string& given, std::string* node, std::string* error) {
  if (given.empty()) {
    *error = "an empty DEVICE name";
    return false;
  }
  // The tool runs in another folder: a relative name must become absolute.
  std::string path = given;
  if (path[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
      *error = given + ": the working folder is unknown";
      return false;
    }
    path = std::string(cwd) + "/" + path;
  }
  for (int hop = 0;; ++hop) {
    if (hop == kMaxLinkHops) {
      *error = given + ": too many symbolic links";
      return false;
    }
    char target[4096];
    ssize_t length = readlink(path.c_str(), target, sizeof target);
    if (length < 0 || static_cast<size_t>(length) >= sizeof target) break;
    std::string link(target, static_cast<size_t>(length));
    if (link[0] == '/') {
      path = link;
    } else {
      size_t slash = path.rfind('/');
      path = (slash == std::string::npos ? "" : path.substr(0, slash + 1)) + link;
    }
  }
  path = FoldDots(path);
  std::string name = NodeName(path);
  if (path.size() > kMaxNodeLength || name.empty() || name == "." || name == "..") {
    *error = given + ": \"" + path + "\" is no device node the tool takes (19 characters at most)";
    return false;
  }
  *node = path;
  return true;
}

CardAnswer ReadCard(const std::string& node, const std::string& tracePath) {
  CardAnswer answer;
  QC3300 card;
  snprintf(card.LogName, sizeof card.LogName, "%s", tracePath.c_str());
  char name[kMaxNodeLength + 1];
  snprintf(name, sizeof name, "%s", node.c_str());
  if (node.size() > kMaxNodeLength || !card.OpenDevice(name)) {
    answer.problem = "cannot open " + node;
    return answer;
  }
  const bool ata = (card.GetAttribute() & kAttrAtaPassThrough) != 0;
  unsigned char data[4096] = {};
  int probe = card.QelPreVendorCommand(data, ata);
  if (probe != 0) {
    answer.problem = node + " is no QC3300 disk (unlock probe " + std::to_string(probe) + ")";
    card.CloseDevice();
    return answer;
  }
  answer.controller = true;
  int read = ata ? card.ReadIdentify(data) : card.ReadConfigureTable(data);
  card.CloseDevice();
  if (read != 0) {
    answer.problem = "cannot read the identity of " + node;
    return answer;
  }
  // Words 10-19 serial number, 23-26 firmware revision, 27-46 model name.
  answer.identity.serial = AtaString(data + 20, 10);
  answer.identity.firmware = AtaString(data + 46, 4);
  answer.identity.model = AtaString(data + 54, 20);
  return answer;
}

// The identity check that closes every flow writing firmware: a PASS must
// mean the card answers with the identity the flow meant to leave (its own
// serial number kept, the serial typed for "initial SN", the image's
// firmware revision), never only that the write went through.
#include <stdio.h>
#include <string.h>

#include "EXCMDFunc.h"
#include "FlowGlobals.h"
#include "IspFileIO.h"
#include "IspLayout.h"

namespace {

// The image's own ID table, the one a card takes where the flow keeps
// nothing of its own. Not valid when the image has none.
CardIdentity ImageIdentity() {
  CardIdentity id = {};
  unsigned char table[kIspIdTableSize];
  ScopedFile image(fopen(ISPDateCodeFile, "rb"));
  if (image && ReadAt(image.get(), kIspIdTable, table, sizeof table)) id = IdentityOf(table);
  return id;
}

// One identity field: its name in the message, where the rule says it comes
// from, and its text in a record.
struct CheckedField {
  const char* name;
  IdentitySource source;
  const char* (*text)(const CardIdentity&);
};

}  // namespace

int CheckCardIdentity(const IdentityRule& rule, const CardIdentity& before) {
  const CardIdentity image = ImageIdentity();
  CardIdentity given = {};
  given.valid = true;
  snprintf(given.serial, sizeof given.serial, "%s", KEYINSNString);
  trim(given.serial);

  const CheckedField fields[] = {
      {"serial number", rule.serial, [](const CardIdentity& id) -> const char* { return id.serial; }},
      {"model name", rule.model, [](const CardIdentity& id) -> const char* { return id.model; }},
      {"WWN", rule.wwn, [](const CardIdentity& id) -> const char* { return id.wwn; }},
      {"firmware revision", rule.firmware,
       [](const CardIdentity& id) -> const char* { return id.firmware; }},
  };
  for (const CheckedField& field : fields) {
    const CardIdentity* want = nullptr;
    switch (field.source) {
      case kCardBefore: want = &before; break;
      case kImageTable: want = &image; break;
      case kGivenSerial: want = &given; break;
      case kNotChecked: break;
    }
    // A source that could not be read leaves nothing to compare with.
    if (want == nullptr || !want->valid) continue;
    const char* answered = g_CardIdentity.valid ? field.text(g_CardIdentity) : "";
    if (strcmp(answered, field.text(*want)) != 0) {
      debug_printf("Identity check fail! %s is <%s>, expected <%s>\n", field.name, answered,
                   field.text(*want));
      return 1;
    }
  }
  return 0;
}

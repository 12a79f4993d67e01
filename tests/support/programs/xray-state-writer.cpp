// xray-state-writer write BASE PROFILE-UUID COUNT [POINT SEQUENCE]
//   One locked access (bootstrap allowed) that writes COUNT records, the
//   record for each sequence number (see XrayStateRecords.h), and prints
//   "confirmed <sequence>" after each. With POINT and SEQUENCE the process
//   kills itself with SIGKILL when that fault point is reached while that
//   sequence is written. COUNT 0 writes until killed.
// xray-state-writer increment BASE PROFILE-UUID COUNT
//   COUNT separate locked accesses, each adding one to the record's
//   guardianPID (a read-modify-write that needs the lock).

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/base/CoreError.h"
#include "core/profile/ProfilePaths.h"
#include "core/proxy/XrayDurableStateStore.h"
#include "tests/support/XrayStateRecords.h"

using namespace korvelin;

int main(int argc, char** argv) {
  if (argc != 5 && argc != 7) {
    std::fprintf(
        stderr,
        "usage: xray-state-writer write|increment BASE PROFILE-UUID COUNT [POINT SEQUENCE]\n");
    return 2;
  }
  const std::string_view mode = argv[1];
  const ProfilePaths paths(*Uuid::parse(argv[3]), argv[2]);
  const unsigned long long count = std::strtoull(argv[4], nullptr, 10);
  const std::string point = argc == 7 ? argv[5] : "";
  const unsigned long long dieOn = argc == 7 ? std::strtoull(argv[6], nullptr, 10) : 0;

  XrayDurableStateStore store(
      [&](std::string_view reached, std::uint64_t sequence) {
        if (reached == point && sequence == dieOn)
          ::kill(::getpid(), SIGKILL);
      },
      [](const std::string& detail) { std::fprintf(stderr, "refused: %s\n", detail.c_str()); });
  try {
    if (mode == "write") {
      store.withLockedState(
          paths, true, [&](const XrayDurableState&, XrayDurableStateWriter& writer) {
            for (unsigned long long i = 0; count == 0 || i < count; ++i) {
              writer.write(testing::recordForSequence(paths.profileID(), writer.sequence() + 1));
              std::printf("confirmed %llu\n", static_cast<unsigned long long>(writer.sequence()));
              std::fflush(stdout);
            }
          });
    } else {
      for (unsigned long long i = 0; i < count; ++i)
        store.withLockedState(paths, true,
                              [&](const XrayDurableState& current, XrayDurableStateWriter& writer) {
                                XrayDurableState next = current;
                                next.guardianPID = current.guardianPID.value_or(0) + 1;
                                writer.write(next);
                              });
    }
  } catch (const KorvelinCoreError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}

// Appends events to a profile's activity journal, for tests of concurrent
// appenders:
//   activity-appender BASE PROFILE-UUID COUNT TAG
// Event i has the detail "TAG i " followed by padding, so that lines are long
// enough to need more than one write if the kernel splits them. Exits 0 once
// every event was appended, 1 with the error on standard error otherwise.

#include <iostream>
#include <string>

#include "core/activity/ProfileActivityJournal.h"
#include "core/base/CoreError.h"
#include "core/profile/ProfilePaths.h"

int main(int argc, char** argv) {
  using namespace korvelin;
  if (argc != 5)
    return 2;
  const auto id = Uuid::parse(argv[2]);
  if (!id)
    return 2;
  const ProfilePaths paths(*id, argv[1]);
  const int count = std::stoi(argv[3]);
  const std::string padding(6000, '.');
  try {
    for (int i = 0; i < count; ++i) {
      ProfileActivityJournal().append(
          ProfileActivityEvent{
              .profileID = *id,
              .kind = kAllProfileActivityKinds[static_cast<std::size_t>(i) % 4],
              .detail = std::string(argv[4]) + " " + std::to_string(i) + " " + padding},
          paths);
    }
  } catch (const KorvelinCoreError& e) {
    std::cerr << e.what() << std::endl;
    return 1;
  }
  return 0;
}

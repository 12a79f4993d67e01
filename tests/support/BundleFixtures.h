#pragma once

// Application bundles for tests, shaped like the vendors' ones: an
// Info.plist (XML or binary) and a test program from support/programs copied
// in as Contents/MacOS/<executable>. They are made under the build tree,
// whose directories belong to this user and admit no other writer, never
// under /tmp: the Linux validator rightly refuses code below a directory
// others may write.
//
//   BundleFixtures bundles;
//   std::string chrome = bundles.make(BundleFixtures::specFor(chromeRow));
//   BundleSpec spec = BundleFixtures::specFor(codexRow);
//   spec.plist.erase("CFBundleVersion");
//   spec.format = BundleSpec::Format::binary;
//   std::string broken = bundles.make(spec, "Broken.app");

#include <map>
#include <string>

#include "core/apps/ManagedApplicationSupport.h"
#include "tests/support/TempDir.h"

namespace korvelin::testing {

struct BundleSpec {
  enum class Format { xml, binary };

  std::string bundleName;  // "Google Chrome.app"
  std::string executableName;
  std::string program = "idle-app";          // support/programs program copied in
  std::map<std::string, std::string> plist;  // every key a string
  Format format = Format::xml;
  // Where the program is copied once more as Codex's backend, inside the
  // bundle; empty for none.
  std::string backend;
};

class BundleFixtures {
 public:
  BundleFixtures();

  // The private directory the bundles are made in.
  const std::string& root() const { return directory_.path(); }

  // Makes ROOT/<name> (the spec's bundleName when empty); returns its path.
  std::string make(const BundleSpec& spec, const std::string& name = "");

  // A vendor's bundle as installed: its name, executable and identifiers.
  static BundleSpec specFor(const ManagedApplication& application);

  static void writeInfoPlist(const std::string& path,
                             const std::map<std::string, std::string>& keys,
                             BundleSpec::Format format);

 private:
  ScopedTempDir directory_;
};

}  // namespace korvelin::testing

#pragma once

// Application bundles for tests, shaped like the vendors' ones: an
// Info.plist (XML or binary) and a test program from support/programs copied
// in as Contents/MacOS/<executable>. They are made under the build tree,
// whose directories belong to this user and admit no other writer, never
// under /tmp: the Linux validator rightly refuses code below a directory
// others may write.
//
//   BundleFixtures bundles;
//   std::string chrome = bundles.make(BundleFixtures::layoutFor(chromeRow));
//   BundleLayout layout = BundleFixtures::layoutFor(codexRow);
//   layout.plist.erase("CFBundleVersion");
//   layout.format = BundleLayout::Format::binary;
//   std::string broken = bundles.make(layout, "Broken.app");

#include <map>
#include <string>

#include "core/apps/ManagedApplicationSupport.h"
#include "tests/support/TempDir.h"

namespace korvelin::testing {

struct BundleLayout {
  enum class Format { xml, binary };

  std::string bundleName;  // "Google Chrome.app"
  std::string executableName;
  std::string program = "idle-app";          // support/programs program copied in
  std::map<std::string, std::string> plist;  // every key a string
  Format format = Format::xml;
  // Where the program is copied once more as Codex's backend, inside the
  // bundle; empty for none.
  std::string backend;
  // When set, the file hard-linked in as the backend instead of that copy.
  std::string backendFile;
};

class BundleFixtures {
 public:
  BundleFixtures();

  // The private directory the bundles are made in.
  const std::string& root() const { return directory_.path(); }

  // Makes ROOT/<name> (the layout's bundleName when empty); returns its path.
  std::string make(const BundleLayout& layout, const std::string& name = "");

  // A vendor's bundle as installed: its name, executable and identifiers.
  static BundleLayout layoutFor(const ManagedApplication& application);
  // Codex's, of a build no table verifies (26.903.61454, 8379), running
  // `program`, with the file `backend` (the real Codex CLI) linked in.
  static BundleLayout uncheckedCodexLayout(const std::string& program, const std::string& backend);

 private:
  ScopedTempDir directory_;
};

}  // namespace korvelin::testing

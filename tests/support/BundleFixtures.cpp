#include "tests/support/BundleFixtures.h"

#include <plist/plist.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "tests/support/Subprocess.h"

namespace korvelin::testing {

namespace {

std::string privateParent() {
  const std::string parent = std::string(KORVELIN_BINARY_DIR) + "/test-bundles";
  ::mkdir(parent.c_str(), 0700);
  return parent;
}

void writeInfoPlist(const std::string& path,
                    const std::map<std::string, std::string>& keys,
                    BundleLayout::Format format) {
  const std::unique_ptr<void, decltype(&plist_free)> dictionary(plist_new_dict(), &plist_free);
  for (const auto& [key, value] : keys)
    plist_dict_set_item(dictionary.get(), key.c_str(), plist_new_string(value.c_str()));
  char* bytes = nullptr;
  std::uint32_t length = 0;
  if (format == BundleLayout::Format::xml)
    plist_to_xml(dictionary.get(), &bytes, &length);
  else
    plist_to_bin(dictionary.get(), &bytes, &length);
  const std::unique_ptr<char, decltype(&std::free)> owner(bytes, &std::free);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes, length);
  if (!bytes || !out.flush())
    throw std::runtime_error("cannot write " + path);
}

}  // namespace

BundleFixtures::BundleFixtures() : directory_(privateParent()) {}

BundleLayout BundleFixtures::layoutFor(const ManagedApplication& application) {
  const std::string name(
      application.defaultBundlePath.substr(application.defaultBundlePath.rfind('/') + 1));
  BundleLayout layout;
  layout.bundleName = name;
  layout.executableName = name.substr(0, name.size() - 4);
  layout.plist = {{"CFBundleIdentifier", std::string(application.bundleIdentifier)},
                  {"CFBundleName", layout.executableName},
                  {"CFBundleShortVersionString", "1.2.3"},
                  {"CFBundleVersion", "1203"},
                  {"CFBundleExecutable", layout.executableName}};
  if (application.adapterIdentifier == ManagedApplicationSupport::codexAdapterIdentifier)
    layout.backend = "Contents/Resources/codex";
  return layout;
}

BundleLayout BundleFixtures::uncheckedCodexLayout(const std::string& program,
                                                  const std::string& backend) {
  auto layout = layoutFor(ManagedApplicationSupport::applications[0]);
  layout.program = program;
  layout.backendFile = backend;
  layout.plist["CFBundleShortVersionString"] = "26.903.61454";
  layout.plist["CFBundleVersion"] = "8379";
  return layout;
}

std::string BundleFixtures::make(const BundleLayout& layout, const std::string& name) {
  namespace fs = std::filesystem;
  const fs::path bundle = root() + "/" + (name.empty() ? layout.bundleName : name);
  // `source` copied (or hard-linked) to `relative` inside the bundle, it and
  // every directory of the bundle above it 0755.
  const auto place = [&](const std::string& relative, const std::string& source, bool link) {
    const fs::path target = bundle / relative;
    fs::create_directories(target.parent_path());
    for (fs::path directory = target.parent_path(); directory != bundle.parent_path();
         directory = directory.parent_path())
      fs::permissions(directory, fs::perms(0755));
    if (link)
      return fs::create_hard_link(source, target);
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    fs::permissions(target, fs::perms(0755));
  };
  place("Contents/MacOS/" + layout.executableName, testProgramPath(layout.program), false);
  writeInfoPlist(bundle / "Contents/Info.plist", layout.plist, layout.format);
  const bool linked = !layout.backendFile.empty();
  if (!layout.backend.empty())
    place(layout.backend, linked ? layout.backendFile : testProgramPath(layout.program), linked);
  return bundle;
}

}  // namespace korvelin::testing

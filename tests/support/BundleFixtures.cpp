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

void BundleFixtures::writeInfoPlist(const std::string& path,
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

std::string BundleFixtures::make(const BundleLayout& layout, const std::string& name) {
  namespace fs = std::filesystem;
  const std::string bundle = root() + "/" + (name.empty() ? layout.bundleName : name);
  fs::create_directories(bundle + "/Contents/MacOS");
  for (const auto& directory : {bundle, bundle + "/Contents", bundle + "/Contents/MacOS"})
    fs::permissions(directory, fs::perms(0755));
  writeInfoPlist(bundle + "/Contents/Info.plist", layout.plist, layout.format);
  const std::string executable = bundle + "/Contents/MacOS/" + layout.executableName;
  fs::copy_file(testProgramPath(layout.program), executable, fs::copy_options::overwrite_existing);
  fs::permissions(executable, fs::perms(0755));
  if (!layout.backend.empty()) {
    const fs::path backend = bundle + "/" + layout.backend;
    fs::create_directories(backend.parent_path());
    for (fs::path directory = backend.parent_path(); directory != bundle;
         directory = directory.parent_path())
      fs::permissions(directory, fs::perms(0755));
    fs::copy_file(testProgramPath(layout.program), backend, fs::copy_options::overwrite_existing);
    fs::permissions(backend, fs::perms(0755));
  }
  return bundle;
}

}  // namespace korvelin::testing

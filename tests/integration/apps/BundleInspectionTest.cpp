#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "core/apps/BundleInspector.h"
#include "core/base/CoreError.h"
#include "core/base/HexCoding.h"
#include "core/files/FilePath.h"
#include "core/platform/Sha256.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/FileTreeHelpers.h"

namespace korvelin {
namespace {

using testing::BundleFixtures;
using testing::BundleLayout;

const ManagedApplication& chrome() {
  return *ManagedApplicationSupport::application(
      ManagedApplicationSupport::chromeAdapterIdentifier);
}

std::string inspectionError(const BundleInspector& inspector, const std::string& path) {
  return testing::expectCoreError([&] { inspector.inspect(path); }).errorDescription();
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

class FixedValidator : public CodeSignatureValidating {
 public:
  explicit FixedValidator(std::string team) : team_(std::move(team)) {}
  CodeSignatureIdentity validateCode(const std::string&, const std::string&) const override {
    return {team_, "00"};
  }
  CodeSignatureIdentity validateRunningCode(std::int32_t, const std::string&) const override {
    return {team_, "00"};
  }

 private:
  std::string team_;
};

class BundleInspectionTest : public ::testing::Test {
 protected:
  BundleFixtures bundles_;
};

TEST_F(BundleInspectionTest, ProvesEveryVendorsBundleInEitherPlistFormat) {
  for (const auto& application : ManagedApplicationSupport::applications) {
    for (auto format : {BundleLayout::Format::xml, BundleLayout::Format::binary}) {
      BundleLayout layout = BundleFixtures::layoutFor(application);
      layout.format = format;
      if (format == BundleLayout::Format::binary)
        layout.plist["CFBundleDisplayName"] = "Shown Name";
      const std::string bundle = bundles_.make(
          layout, std::string(application.vendor) + std::to_string(int(format)) + ".app");
      const CodexInstallation installation =
          makeBundleInspector(application.adapterIdentifier)->inspect(bundle + "/");

      SCOPED_TRACE(bundle);
      const std::string executable = bundle + "/Contents/MacOS/" + layout.executableName;
      std::ifstream in(executable, std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)), {});
      const auto digest = platform::sha256(bytes.data(), bytes.size());
      struct stat info {};
      ASSERT_EQ(::stat(executable.c_str(), &info), 0);

      EXPECT_EQ(installation.bundlePath(), bundle);
      EXPECT_EQ(installation.displayName,
                format == BundleLayout::Format::binary ? "Shown Name" : layout.executableName);
      EXPECT_EQ(installation.bundleIdentifier, application.bundleIdentifier);
      EXPECT_EQ(installation.marketingVersion, "1.2.3");
      EXPECT_EQ(installation.buildVersion, "1203");
      EXPECT_EQ(installation.architectures, std::vector<std::string>{"x86_64"});
      EXPECT_EQ(installation.codeDirectoryHash,
                hexEncoded({reinterpret_cast<const char*>(digest.data()), digest.size()}));
      EXPECT_EQ(installation.executableIdentity, FileIdentity::of(info));
      EXPECT_EQ(installation.backendURL, layout.backend.empty()
                                             ? installation.executableURL
                                             : fileURLString(bundle + "/" + layout.backend, false));
      EXPECT_EQ(ManagedApplicationSupport::adapterIdentifier(installation.bundleIdentifier,
                                                             installation.signingTeamIdentifier),
                application.adapterIdentifier);
    }
  }
}

// Each bad bundle ends inspection with one error that names what is wrong.
// "@" stands for the bundle's path and "^" for the fixtures' directory.
TEST_F(BundleInspectionTest, RefusesEachBadBundleWithItsOwnError) {
  namespace fs = std::filesystem;
  using Tamper = std::function<std::string(const std::string& bundle)>;
  const std::string plist = "/Contents/Info.plist";
  const std::string executable = "/Contents/MacOS/Google Chrome";
  const auto unchanged = [](const std::string& bundle) { return bundle; };
  const auto withPlist = [&](std::function<void(std::ofstream&)> write) -> Tamper {
    return [&, write](const std::string& bundle) {
      std::ofstream out(bundle + plist, std::ios::trunc);
      write(out);
      return bundle;
    };
  };
  const struct {
    const char* name;
    std::function<void(BundleLayout&)> layout;
    Tamper tamper;
    std::string expected;
  } cases[] = {
      {"the bundle is a symbolic link", nullptr,
       [](const std::string& bundle) {
         fs::create_directory_symlink(bundle, bundle + "-link.app");
         return bundle + "-link.app";
       },
       "Unsafe bundle member: @-link.app."},
      {"no bundle", nullptr, [](const std::string& bundle) { return bundle + "-none.app"; },
       "Codex bundle not found at @-none.app."},
      {"the bundle is a file", nullptr,
       [](const std::string& bundle) {
         testing::makeFile(bundle + "-file.app");
         return bundle + "-file.app";
       },
       "Codex bundle not found at @-file.app."},
      {"Info.plist is a FIFO", nullptr,
       [&](const std::string& bundle) {
         fs::remove(bundle + plist);
         ::mkfifo((bundle + plist).c_str(), 0600);
         return bundle;
       },
       "Invalid Info.plist at @/Contents/Info.plist."},
      {"Info.plist of 1 GiB", nullptr,
       [&](const std::string& bundle) {
         fs::resize_file(bundle + plist, std::uintmax_t{1} << 30);
         return bundle;
       },
       "Invalid Info.plist at @/Contents/Info.plist."},
      {"Info.plist is no property list", nullptr, withPlist([](auto& out) { out << "hello"; }),
       "Invalid Info.plist at @/Contents/Info.plist."},
      {"Info.plist holds a list", nullptr,
       withPlist([](auto& out) { out << "<plist version=\"1.0\"><array/></plist>"; }),
       "Invalid Info.plist at @/Contents/Info.plist."},
      {"Contents is a symbolic link", nullptr,
       [](const std::string& bundle) {
         fs::rename(bundle + "/Contents", bundle + "/Elsewhere");
         fs::create_directory_symlink("Elsewhere", bundle + "/Contents");
         return bundle;
       },
       "Invalid Info.plist at @/Contents/Info.plist."},
      {"no CFBundleExecutable", [](BundleLayout& s) { s.plist.erase("CFBundleExecutable"); },
       unchanged, "Missing bundle executable: CFBundleExecutable."},
      {"the executable is missing", nullptr,
       [&](const std::string& bundle) {
         fs::remove(bundle + executable);
         return bundle;
       },
       "Missing bundle executable: @/Contents/MacOS/Google Chrome."},
      {"the executable is a symbolic link", nullptr,
       [&](const std::string& bundle) {
         fs::rename(bundle + executable, bundle + "/Contents/real");
         fs::create_symlink("../real", bundle + executable);
         return bundle;
       },
       "Unsafe bundle member: @/Contents/MacOS/Google Chrome."},
      {"the executable escapes the bundle",
       [](BundleLayout& s) { s.plist["CFBundleExecutable"] = "../../../x"; },
       [](const std::string& bundle) {
         testing::makeFile(fs::path(bundle).parent_path() / "x", 0755);
         return bundle;
       },
       "Unsafe bundle member: @/Contents/MacOS/../../../x."},
      {"a group-writable parent", nullptr,
       [](const std::string& bundle) {
         fs::permissions(bundle + "/Contents/MacOS", fs::perms(0775));
         return bundle;
       },
       "Untrusted Codex code signature: not signed: writable by group or others: "
       "@/Contents/MacOS."},
      {"another vendor's identifier",
       [](BundleLayout& s) { s.plist["CFBundleIdentifier"] = "com.openai.codex"; }, unchanged,
       "Untrusted Codex code signature: not signed: the bundle identifier does not meet the code "
       "requirement."},
      {"an empty build version", [](BundleLayout& s) { s.plist["CFBundleVersion"] = ""; },
       unchanged, "Missing bundle version value: CFBundleVersion."},
      {"no marketing version", [](BundleLayout& s) { s.plist.erase("CFBundleShortVersionString"); },
       unchanged, "Missing bundle version value: CFBundleShortVersionString."},
      {"an executable of no known format", nullptr,
       [&](const std::string& bundle) {
         std::ofstream(bundle + executable, std::ios::trunc) << "#!/bin/sh\nexit 0\n";
         return bundle;
       },
       "Could not inspect executable architectures: Unsupported Mach-O magic."},
  };
  const auto inspector = makeBundleInspector(chrome().adapterIdentifier);
  int index = 0;
  for (const auto& c : cases) {
    BundleLayout layout = BundleFixtures::layoutFor(chrome());
    if (c.layout)
      c.layout(layout);
    const std::string bundle = bundles_.make(layout, "case" + std::to_string(index++) + ".app");
    const std::string path = c.tamper(bundle);
    EXPECT_EQ(inspectionError(*inspector, path), replaced(c.expected, "@", bundle)) << c.name;
  }
}

TEST_F(BundleInspectionTest, RefusesCodeBelowADirectoryOthersMayWrite) {
  // /tmp is writable by everyone: anyone could have put the bundle there.
  testing::ScopedTempDir shared;
  const std::string bundle = shared.child("Google Chrome.app");
  std::filesystem::copy(bundles_.make(BundleFixtures::layoutFor(chrome())), bundle,
                        std::filesystem::copy_options::recursive);
  EXPECT_EQ(inspectionError(*makeBundleInspector(chrome().adapterIdentifier), bundle),
            "Untrusted Codex code signature: not signed: writable by group or others: /tmp.");
}

TEST_F(BundleInspectionTest, TakesTheTeamAndIdentifierFromTheSignatureAndThePlist) {
  BundleLayout layout = BundleFixtures::layoutFor(chrome());
  const std::string genuine = bundles_.make(layout);
  layout.plist["CFBundleIdentifier"] = "com.example.other";
  const std::string other = bundles_.make(layout, "Other.app");
  const BundleInspector resigned(chrome(), std::make_shared<FixedValidator>("ABCDE12345"));
  const BundleInspector signedByChrome(chrome(), std::make_shared<FixedValidator>("EQHXZ8M8AV"));
  EXPECT_EQ(inspectionError(resigned, genuine),
            "Untrusted Codex code signature: unexpected team identifier ABCDE12345.");
  EXPECT_EQ(inspectionError(signedByChrome, other),
            "Unsupported bundle identifier: com.example.other.");
}

}  // namespace
}  // namespace korvelin

#pragma once

// The applications profiles can run, and which adapter drives each one. A
// profile is valid only with one of these pairs of adapter and bundle
// identifier; an installation belongs to an adapter only when it is also
// signed by that vendor's team.

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace korvelin {

struct AppProfile;

struct ManagedApplication {
  std::string_view adapterIdentifier;
  std::string_view bundleIdentifier;
  std::string_view teamIdentifier;
  std::string_view defaultBundlePath;
  std::string_view defaultDisplayName;
  std::string_view vendor;  // the short name people type: "codex", "claude", ...

  // The code requirement its signature must meet (CodeSignatureValidating.h).
  std::string requirement() const;
};

namespace ManagedApplicationSupport {

inline constexpr std::string_view codexAdapterIdentifier = "com.korvelin.adapter.codex";
inline constexpr std::string_view claudeAdapterIdentifier = "com.korvelin.adapter.claude";
inline constexpr std::string_view zcodeAdapterIdentifier = "com.korvelin.adapter.zcode";
inline constexpr std::string_view chromeAdapterIdentifier = "com.korvelin.adapter.chrome";

inline constexpr std::array<ManagedApplication, 4> applications = {{
    {codexAdapterIdentifier, "com.openai.codex", "2DC432GLL2", "/Applications/ChatGPT.app", "Codex",
     "codex"},
    {claudeAdapterIdentifier, "com.anthropic.claudefordesktop", "Q6L2SF6YDW",
     "/Applications/Claude.app", "Claude", "claude"},
    {zcodeAdapterIdentifier, "dev.zcode.app", "8A5X4JJ39T", "/Applications/ZCode.app", "ZCode",
     "zcode"},
    {chromeAdapterIdentifier, "com.google.Chrome", "EQHXZ8M8AV", "/Applications/Google Chrome.app",
     "Chrome", "chrome"},
}};

// Claude Code is not a bundle and has no adapter of its own, only a signature.
inline constexpr std::string_view claudeCodeIdentifier = "com.anthropic.claude-code";
inline constexpr std::string_view claudeCodeTeamIdentifier = "Q6L2SF6YDW";

// The row of an adapter identifier, of a short vendor name, of a bundle
// identifier; null when there is none.
const ManagedApplication* application(std::string_view adapterIdentifier);
const ManagedApplication* applicationForVendor(std::string_view vendor);
const ManagedApplication* applicationForBundleIdentifier(std::string_view bundleIdentifier);

// The adapter of the application whose bundle and signing team both match.
std::optional<std::string_view> adapterIdentifier(std::string_view bundleIdentifier,
                                                  std::string_view teamIdentifier);

// Whether the adapter drives the bundle (the team is not part of a profile).
bool isSupportedPair(std::string_view adapterIdentifier, std::string_view bundleIdentifier);

// Whether the profile's application reference names a supported pair.
bool isSupported(const AppProfile& profile);

}  // namespace ManagedApplicationSupport

}  // namespace korvelin

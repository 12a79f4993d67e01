#pragma once

// The applications profiles can run, and which adapter drives each one. A
// profile is valid only with one of these pairs of adapter and bundle
// identifier; an installation belongs to an adapter only when it is also
// signed by that vendor's team.

#include <array>
#include <optional>
#include <string_view>

namespace korvelin {

struct AppProfile;

struct ManagedApplication {
  std::string_view adapterIdentifier;
  std::string_view bundleIdentifier;
  std::string_view teamIdentifier;
  std::string_view defaultBundlePath;
  std::string_view defaultDisplayName;
};

namespace ManagedApplicationSupport {

inline constexpr std::string_view codexAdapterIdentifier = "com.korvelin.adapter.codex";
inline constexpr std::string_view claudeAdapterIdentifier = "com.korvelin.adapter.claude";
inline constexpr std::string_view zcodeAdapterIdentifier = "com.korvelin.adapter.zcode";
inline constexpr std::string_view chromeAdapterIdentifier = "com.korvelin.adapter.chrome";

inline constexpr std::array<ManagedApplication, 4> applications = {{
    {codexAdapterIdentifier, "com.openai.codex", "2DC432GLL2", "/Applications/ChatGPT.app",
     "Codex"},
    {claudeAdapterIdentifier, "com.anthropic.claudefordesktop", "Q6L2SF6YDW",
     "/Applications/Claude.app", "Claude"},
    {zcodeAdapterIdentifier, "dev.zcode.app", "8A5X4JJ39T", "/Applications/ZCode.app", "ZCode"},
    {chromeAdapterIdentifier, "com.google.Chrome", "EQHXZ8M8AV", "/Applications/Google Chrome.app",
     "Chrome"},
}};

// The adapter of the application whose bundle and signing team both match.
std::optional<std::string_view> adapterIdentifier(std::string_view bundleIdentifier,
                                                  std::string_view teamIdentifier);

// Whether the adapter drives the bundle (the team is not part of a profile).
bool isSupportedPair(std::string_view adapterIdentifier, std::string_view bundleIdentifier);

// Whether the profile's application reference names a supported pair.
bool isSupported(const AppProfile& profile);

}  // namespace ManagedApplicationSupport

}  // namespace korvelin

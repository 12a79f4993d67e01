#include "core/apps/ClaudeLaunchAuthorization.h"

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "core/apps/ManagedApplicationSupport.h"
#include "core/base/CoreError.h"
#include "core/base/EnumNames.h"
#include "core/files/FilePath.h"

namespace korvelin {
namespace {

constexpr EnumNames<ClaudeLaunchDenial, 6> kDenialNames{{
    {ClaudeLaunchDenial::enforcementUnavailable, "enforcementUnavailable"},
    {ClaudeLaunchDenial::unauthorizedExecutable, "unauthorizedExecutable"},
    {ClaudeLaunchDenial::executableIdentityMismatch, "executableIdentityMismatch"},
    {ClaudeLaunchDenial::authorizationExpired, "authorizationExpired"},
    {ClaudeLaunchDenial::authorizationReplayed, "authorizationReplayed"},
    {ClaudeLaunchDenial::foreignAncestry, "foreignAncestry"},
}};

const ManagedApplication& claudeApplication() {
  for (const auto& application : ManagedApplicationSupport::applications)
    if (application.adapterIdentifier == ManagedApplicationSupport::claudeAdapterIdentifier)
      return application;
  throw KorvelinCoreError::claudeLaunchNotAuthorized("not an authorized Claude identity");
}

double secondsSince1970(ClaudeLaunchAuthorization::Date date) {
  return std::chrono::duration<double>(date.time_since_epoch()).count();
}

}  // namespace

std::string_view rawValue(ClaudeLaunchDenial denial) {
  return kDenialNames.name(denial);
}

ClaudeExecutableIdentity claudeExecutableIdentity(const CodexInstallation& installation) {
  const auto& claude = claudeApplication();
  const auto executablePath = pathFromFileURL(installation.executableURL);
  if (installation.bundleIdentifier != claude.bundleIdentifier ||
      installation.signingTeamIdentifier != claude.teamIdentifier ||
      installation.codeDirectoryHash.empty() || !executablePath || executablePath->empty())
    throw KorvelinCoreError::claudeLaunchNotAuthorized("not an authorized Claude identity");
  return {installation.bundleIdentifier, installation.signingTeamIdentifier,
          installation.codeDirectoryHash, *executablePath};
}

ClaudeLaunchAuthorizationService::ClaudeLaunchAuthorizationService(Clock now,
                                                                   IssuerCapture captureIssuer)
    : now_(now ? std::move(now) : Clock([] { return std::chrono::system_clock::now(); })),
      captureIssuer_(captureIssuer ? std::move(captureIssuer) : IssuerCapture([] {
        return LiveProcessIdentity::capture(static_cast<std::int32_t>(::getpid()));
      })) {}

ClaudeLaunchAuthorizationService& ClaudeLaunchAuthorizationService::shared() {
  static ClaudeLaunchAuthorizationService service;
  return service;
}

ClaudeLaunchAuthorization ClaudeLaunchAuthorizationService::issue(
    const Uuid& profileID,
    const CodexInstallation& installation) {
  auto identity = claudeExecutableIdentity(installation);
  auto issuer = captureIssuer_();
  if (!issuer)
    throw KorvelinCoreError::claudeLaunchNotAuthorized("could not capture issuer identity");
  const auto issuedAt = now_();
  ClaudeLaunchAuthorization authorization{Uuid::random(),     profileID, std::move(identity),
                                          std::move(*issuer), issuedAt,  issuedAt + kDefaultTTL};

  std::lock_guard guard(lock_);
  // Expired authorizations go only here, so that an execution the
  // enforcement component reports late still finds its record.
  std::erase_if(authorizations_, [&](const auto& entry) {
    if (entry.second.expiresAt >= issuedAt)
      return false;
    consumptions_.erase(entry.first);
    return true;
  });
  authorizations_.emplace(authorization.token, authorization);
  return authorization;
}

ClaudeLaunchDecision ClaudeLaunchAuthorizationService::evaluate(
    const ClaudeExecFacts& facts,
    ClaudeLaunchAuthorization::Date now) {
  std::lock_guard guard(lock_);
  if (!enforcementActive_)
    return ClaudeLaunchDenial::enforcementUnavailable;
  bool sameExecutable = false;
  const ClaudeLaunchAuthorization* match = nullptr;
  for (const auto& [token, authorization] : authorizations_) {
    if (authorization.identity.executablePath != facts.executablePath)
      continue;
    sameExecutable = true;
    if (authorization.identity.teamIdentifier == facts.teamIdentifier &&
        authorization.identity.codeDirectoryHash == facts.codeDirectoryHash) {
      match = &authorization;
      break;
    }
  }
  if (!sameExecutable)
    return ClaudeLaunchDenial::unauthorizedExecutable;
  if (!match)
    return ClaudeLaunchDenial::executableIdentityMismatch;
  if (!(now < match->expiresAt))
    return ClaudeLaunchDenial::authorizationExpired;
  if (consumptions_.contains(match->token))
    return ClaudeLaunchDenial::authorizationReplayed;
  if (facts.parentPID != match->issuer.pid ||
      facts.parentStartSeconds != match->issuer.startSeconds ||
      facts.parentStartMicroseconds != match->issuer.startMicroseconds)
    return ClaudeLaunchDenial::foreignAncestry;
  consumptions_[match->token] = {AuthorizationConsumptionKind::evaluateKernel, now};
  return *match;
}

void ClaudeLaunchAuthorizationService::consumeForManagedLaunch(
    const ClaudeLaunchAuthorization& authorization) {
  std::lock_guard guard(lock_);
  const auto stored = authorizations_.find(authorization.token);
  if (stored == authorizations_.end())
    throw KorvelinCoreError::claudeLaunchNotAuthorized("unknown authorization");
  if (!(stored->second == authorization))
    throw KorvelinCoreError::claudeLaunchNotAuthorized("authorization mismatch");
  if (const auto consumed = consumptions_.find(authorization.token);
      consumed != consumptions_.end()) {
    // The enforcement component saw this very execution in time: both sides
    // accept it once.
    if (consumed->second.kind == AuthorizationConsumptionKind::evaluateKernel &&
        consumed->second.at <= authorization.expiresAt)
      return;
    throw KorvelinCoreError::claudeLaunchNotAuthorized("authorization replayed");
  }
  const auto now = now_();
  if (now > authorization.expiresAt)
    throw KorvelinCoreError::claudeLaunchNotAuthorized("authorization expired");
  consumptions_[authorization.token] = {AuthorizationConsumptionKind::managedLaunch, now};
}

void ClaudeLaunchAuthorizationService::setEnforcementActive(bool active) {
  std::lock_guard guard(lock_);
  enforcementActive_ = active;
}

std::size_t ClaudeLaunchAuthorizationService::openAuthorizationCount() {
  std::lock_guard guard(lock_);
  return authorizations_.size();
}

void to_json(nlohmann::json& json, const ClaudeExecutableIdentity& identity) {
  json = {{"bundleIdentifier", identity.bundleIdentifier},
          {"teamIdentifier", identity.teamIdentifier},
          {"codeDirectoryHash", identity.codeDirectoryHash},
          {"executablePath", identity.executablePath}};
}

void to_json(nlohmann::json& json, const ClaudeLaunchAuthorization& authorization) {
  json = {{"token", authorization.token},
          {"profileID", authorization.profileID},
          {"identity", authorization.identity},
          {"issuer", authorization.issuer},
          {"issuedAt", secondsSince1970(authorization.issuedAt)},
          {"expiresAt", secondsSince1970(authorization.expiresAt)}};
}

}  // namespace korvelin

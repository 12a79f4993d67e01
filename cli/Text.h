#pragma once

// Every line korvelin prints for people goes through here: a message is its
// English key with placeholders {0}, {1}, ... and the values that fill them,
// shown in the language chosen at start-up. The keys are the command line's
// own (the "cli" section of core/text/translations/<language>.json) or the
// library's (its "catalogue" section). JSON output stays in English keys.

#include <optional>
#include <string>
#include <string_view>

#include "core/text/AppLocalization.h"

namespace korvelin::cli {

using Message = AppLocalizedString;

// --language when given (en, ru or zh-Hans), else the first of LANGUAGE (a
// colon-separated list), LC_ALL, LC_MESSAGES and LANG that names English,
// Russian or Chinese, else English.
AppLanguage languageFromHost(const std::optional<std::string>& option);

AppLanguage outputLanguage();
void setOutputLanguage(AppLanguage language);

// The message in the output language.
std::string text(const Message& message);

// Whether `key` is one of the command line's own keys.
bool isCliKey(std::string_view key);

}  // namespace korvelin::cli

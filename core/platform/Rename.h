#pragma once

// Atomic renames that ordinary renameat cannot express. Both return 0, or -1
// with errno set, like the system calls behind them.
//   macOS: renameatx_np with RENAME_SWAP / RENAME_EXCL.
//   Linux: renameat2 with RENAME_EXCHANGE / RENAME_NOREPLACE.

namespace korvelin::platform {

// Exchanges two existing names in one step: each name ends up naming the
// other's file, and no observer ever sees either name missing.
int renameExchange(int fromDirectory, const char* from, int toDirectory, const char* to);

// Moves `from` to `to` only when `to` does not exist (EEXIST otherwise).
int renameNoReplace(int fromDirectory, const char* from, int toDirectory, const char* to);

}  // namespace korvelin::platform

#pragma once

#include <cerrno>
#include <type_traits>

namespace korvelin::platform {

// The one place where a system call is retried after EINTR. `call` is a
// callable returning the system call's result; it is invoked again while the
// result is -1 and errno is EINTR. errno is left as the final call set it.
template <typename Call>
auto retryOnEintr(Call&& call) -> decltype(call()) {
  using Result = decltype(call());
  static_assert(std::is_integral_v<Result>, "system calls return an integer");
  Result result;
  do {
    result = call();
  } while (result == Result(-1) && errno == EINTR);
  return result;
}

}  // namespace korvelin::platform

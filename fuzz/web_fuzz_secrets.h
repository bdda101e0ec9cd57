#pragma once
// The secrets the web request fuzzer's catalog holds, so that its seeds can
// carry a signed-in session's cookie and CSRF token and an API token and
// reach past the authorisation.

namespace orvalinth::fuzz {

inline constexpr char kWebSessionSecret[] = "a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1";
inline constexpr char kWebCsrf[] = "c2c2c2c2c2c2c2c2c2c2c2c2c2c2c2c2c2c2c2c2c2c2c2c2c2c2c2c2c2c2c2c2";
inline constexpr char kWebToken[] = "orv_b3b3b3b3b3b3b3b3b3b3b3b3b3b3b3b3b3b3b3b3b3b3b3b3b3b3b3b3b3b3b3b3";
inline constexpr char kWebUser[] = "fuzz";
inline constexpr char kWebPassword[] = "fuzz-password";

}  // namespace orvalinth::fuzz

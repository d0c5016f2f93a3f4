// The password file of reader logins (AUTHINFO USER/PASS): one line per
// user, "name:hash:rights", the hash in crypt(3) form and the rights letters
// r (read), p (post) and f (feed); lines starting with '#' and blank lines
// are passed over. The file named by PasswordFile is read at start-up and
// again at the next login after it changes; a line it cannot use is logged
// with its number and left out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Reads the file when PasswordFile names one, logging what it cannot use.
void PasswordsInit();

// True when PasswordFile is set: logins are offered.
bool PasswordsConfigured();

// The rights of `user` when `password` matches its hash; nothing for an
// unknown name or a wrong password, which take as long to refuse as each
// other. Reads the file again first when it has changed since.
std::optional<uint32_t> CheckPassword(std::string_view user, std::string_view password);

// A new hash of `password` for the file (yescrypt with a random salt);
// empty when the system cannot make one.
std::string HashPassword(std::string_view password);

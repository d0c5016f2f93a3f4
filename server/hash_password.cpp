// verdalix -hash-password: one password in, its crypt(3) hash out, for a
// line "name:hash:rights" of the password file.
#include "server/hash_password.h"

#include <cstdio>
#include <string>

#include "access/passwords.h"
#include "platform/process.h"

int RunHashPassword()
{
    std::string password;
    if (!ReadHiddenLine("Password: ", &password) || password.empty()) {
        std::fputs("verdalix -hash-password: no password given on standard input\n", stderr);
        return 1;
    }
    const std::string hash = HashPassword(password);
    if (hash.empty()) {
        std::fputs("verdalix -hash-password: the system could not make a hash\n", stderr);
        return 1;
    }
    std::printf("%s\n", hash.c_str());
    return 0;
}

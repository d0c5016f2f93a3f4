// The password file of reader logins: read into a table that a changed file
// replaces whole, and the crypt(3) checks against it. A check copies what it
// needs out of the table and runs the slow hash without any lock.
#include "access/passwords.h"

#include <crypt.h>
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "access/incoming.h"
#include "platform/file_io.h"
#include "platform/line_reader.h"
#include "platform/sync.h"
#include "server/config.h"
#include "server/log.h"

namespace {

constexpr size_t kLineLimit = 1023;
// The method of new hashes: yescrypt at libcrypt's default cost.
constexpr const char* kHashPrefix = "$y$";

struct User {
    std::string hash;
    uint32_t rights = 0;
};

struct Table {
    std::string path;
    FileStamp stamp;
    std::unordered_map<std::string, User> users;
};

// Guards `current`: held while the file is examined and read again.
std::mutex& PasswordLock()
{
    static Lasting<std::mutex> lock;
    return *lock;
}
std::shared_ptr<const Table> current;

// The rights of the letters r, p and f; false for any other letter.
bool ParseRights(std::string_view letters, uint32_t* rights)
{
    *rights = 0;
    for (char letter : letters) {
        switch (letter) {
        case 'r': *rights |= kRightRead; break;
        case 'p': *rights |= kRightPost; break;
        case 'f': *rights |= kRightFeed; break;
        default: return false;
        }
    }
    return true;
}

// One "name:hash:rights" line; null, or why it cannot be used.
const char* ParseLine(std::string_view line, std::string* name, User* user)
{
    const size_t first = line.find(':');
    const size_t last = line.rfind(':');
    if (first == std::string_view::npos || first == last)
        return "not name:hash:rights";
    if (first == 0)
        return "no user name";
    *name = line.substr(0, first);
    user->hash = line.substr(first + 1, last - first - 1);
    if (!ParseRights(line.substr(last + 1), &user->rights))
        return "rights are letters from r, p and f";
    switch (crypt_checksalt(user->hash.c_str())) {
    case CRYPT_SALT_OK: return nullptr;
    case CRYPT_SALT_METHOD_LEGACY:
    case CRYPT_SALT_TOO_CHEAP: return "hash method too weak (make one with verdalix -hash-password)";
    default: return "no crypt(3) hash";
    }
}

std::shared_ptr<const Table> ReadTable(const char* path, const FileStamp& stamp)
{
    auto table = std::make_shared<Table>();
    table->path = path;
    table->stamp = stamp;
    UniqueFd file = OpenFile(path, O_RDONLY);
    if (!file) {
        LogFormat("password file %s: cannot read it: %s", path, strerror(errno));
        return table;
    }
    LineReader lines(file.get(), kLineLimit);
    char text[kLineLimit + 1];
    for (unsigned number = 1; lines.Next(text); ++number) {
        std::string_view line(text);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
            line.remove_suffix(1);
        if (line.empty() || line.front() == '#')
            continue;
        std::string name;
        User user;
        if (const char* problem = ParseLine(line, &name, &user))
            LogFormat("password file %s line %u: %s; left out", path, number, problem);
        else if (!table->users.emplace(std::move(name), std::move(user)).second)
            LogFormat("password file %s line %u: the user has an earlier line; left out", path, number);
    }
    return table;
}

// The table of the file as it is now, read again when it has changed.
std::shared_ptr<const Table> CurrentTable()
{
    const char* path = ConfigText(ConfigKey::kPasswordFile);
    if (path == nullptr)
        return nullptr;
    std::lock_guard lock(PasswordLock());
    const FileStamp stamp = StampOfFile(path);
    if (current == nullptr || current->path != path || !(current->stamp == stamp))
        current = ReadTable(path, stamp);
    return current;
}

// A hash that no password matches, checked for unknown names so that they
// take as long to refuse as wrong passwords.
const std::string& DecoyHash()
{
    static const std::string decoy = HashPassword("decoy");
    return decoy;
}

// Compares every byte, so the time taken does not tell where they differ.
bool SameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    unsigned char differ = 0;
    for (size_t i = 0; i < a.size(); ++i)
        differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
}

bool Matches(const std::string& hash, std::string_view password)
{
    auto work = std::make_unique<crypt_data>();
    std::string phrase(password);
    const char* made = crypt_r(phrase.c_str(), hash.c_str(), work.get());
    explicit_bzero(phrase.data(), phrase.size());
    // Failures give a string starting with '*', which no stored hash is.
    return made != nullptr && made[0] != '*' && SameText(made, hash);
}

}  // namespace

void PasswordsInit()
{
    CurrentTable();
}

bool PasswordsConfigured()
{
    return ConfigText(ConfigKey::kPasswordFile) != nullptr;
}

std::optional<uint32_t> CheckPassword(std::string_view user, std::string_view password)
{
    std::shared_ptr<const Table> table = CurrentTable();
    const User* found = nullptr;
    if (table != nullptr) {
        auto entry = table->users.find(std::string(user));
        if (entry != table->users.end())
            found = &entry->second;
    }
    if (found == nullptr) {
        (void)Matches(DecoyHash(), password);
        return std::nullopt;
    }
    if (!Matches(found->hash, password))
        return std::nullopt;
    return found->rights;
}

std::string HashPassword(std::string_view password)
{
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn(kHashPrefix, 0, nullptr, 0, setting, sizeof setting) == nullptr)
        return {};
    auto work = std::make_unique<crypt_data>();
    std::string phrase(password);
    const char* made = crypt_r(phrase.c_str(), setting, work.get());
    explicit_bzero(phrase.data(), phrase.size());
    if (made == nullptr || made[0] == '*')
        return {};
    return made;
}

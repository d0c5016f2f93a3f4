// LIST NEWSGROUPS from the group descriptions file, streamed in pieces of
// about 16 KB; the file is never read whole into memory.
#include "groups/descriptions.h"

#include <fcntl.h>

#include <cstring>
#include <optional>
#include <string>

#include "access/wildmat.h"
#include "nntp/reply.h"
#include "platform/file_io.h"
#include "platform/line_reader.h"
#include "server/config.h"

namespace {

constexpr size_t kLineSize = 1024;
constexpr size_t kPiece = 16384;

}  // namespace

int TransmitDescriptions(ClientContext* ctx, const char* pattern)
{
    std::optional<Wildmat> wildmat;
    if (pattern != nullptr)
        wildmat.emplace(pattern);
    std::string out = "215 descriptions follow\r\n";
    const char* path = ConfigText(ConfigKey::kGroupDescriptionsFile);
    UniqueFd file = path != nullptr ? OpenFile(path, O_RDONLY) : UniqueFd();
    if (file) {
        // Lines are cut at kLineSize - 1 bytes, the rest passed over.
        LineReader lines(file.get(), kLineSize - 1);
        char line[kLineSize];
        while (lines.Next(line)) {
            size_t name = std::strcspn(line, " \t");
            if (name == 0)
                continue;
            char kept = line[name];
            line[name] = '\0';
            bool taken = !wildmat || wildmat->Matches(line);
            line[name] = kept;
            if (!taken)
                continue;
            if (line[0] == '.')
                out += '.';
            out.append(line).append("\r\n");
            if (out.size() >= kPiece) {
                SendData(ctx, out.data(), out.size());
                out.clear();
            }
        }
    }
    out += ".\r\n";
    return SendData(ctx, out.data(), out.size());
}

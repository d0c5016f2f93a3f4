// verdalixctl: the operator's control program. Sends one command to a
// running server over its control socket and shows the answer, as text for
// people or, with --json, as JSON for scripts. Exit status 0 when the
// server answered OK, 1 otherwise.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <tcl.h>

#include "control/control_socket.h"
#include "platform/socket.h"
#include "server/config.h"
#include "server/json.h"

namespace {

constexpr const char* kUsage =
    "usage: verdalixctl [-s SOCKET] [--json] COMMAND [ARGUMENTS]\n"
    "commands:\n"
    "  status                          uptime, connections, rates, stores, history, backlogs\n"
    "  groups [WILDMAT]                groups carried: name, high, low, posting flag\n"
    "  newgroup NAME [y|m|n] [TEXT]    create a group (or change its flag and description)\n"
    "  rmgroup NAME                    remove a group\n"
    "  peers                           incoming peers and their counters\n"
    "  sites                           outgoing sites, their counters and backlogs\n"
    "  pause REASON                    pause intake: peers are told to try later\n"
    "  go                              resume intake\n"
    "  logreopen                       reopen the log (after rotation)\n"
    "  shutdown                        stop the server cleanly\n"
    "  tcl 'COMMAND'                   any server Tcl command\n"
    "The socket is found through VERDALIX_CONFIGFILE (or /etc/verdalix/verdalix.conf) unless -s names it.\n";

struct Options {
    std::string socket;
    bool json = false;
    std::vector<std::string> words;  // the command and its arguments
};

// ---- JSON from the server's Tcl answers, by the shape each command has.

struct Shape {
    enum Kind { kScalar, kText, kDict, kList, kRow };
    explicit Shape(Kind k, std::map<std::string, const Shape*> f = {}, std::vector<std::string> n = {},
                   const Shape* e = nullptr)
        : kind(k), fields(std::move(f)), names(std::move(n)), element(e)
    {}
    Kind kind;
    std::map<std::string, const Shape*> fields;  // kDict, kRow: the shapes of known keys (others are scalars)
    std::vector<std::string> names;              // kRow: the key of each position
    const Shape* element;                        // kList
};

const Shape kScalarShape{Shape::kScalar};
const Shape kTextShape{Shape::kText};
const Shape kPlainDict{Shape::kDict};
const Shape kPeer{Shape::kDict, {{"host", &kTextShape}, {"rights", &kTextShape}}};
const Shape kSite{Shape::kDict, {{"name", &kTextShape}, {"host", &kTextShape}}};
const Shape kPeers{Shape::kList, {}, {}, &kPeer};
const Shape kSites{Shape::kList, {}, {}, &kSite};
const Shape kStores{Shape::kList, {}, {}, &kPlainDict};
const Shape kGroup{Shape::kRow, {{"name", &kTextShape}, {"flag", &kTextShape}}, {"name", "high", "low", "flag"}};
const Shape kGroups{Shape::kList, {}, {}, &kGroup};
const Shape kStatus{Shape::kDict,
                    {{"reason", &kTextShape},
                     {"connections", &kPlainDict},
                     {"rates", &kPlainDict},
                     {"articles", &kPlainDict},
                     {"history", &kPlainDict},
                     {"stores", &kStores},
                     {"sites", &kSites}}};

std::vector<std::string> SplitList(const std::string& text)
{
    int count = 0;
    const char** items = nullptr;
    std::vector<std::string> list;
    if (Tcl_SplitList(nullptr, text.c_str(), &count, &items) != TCL_OK)
        return list;
    for (int i = 0; i < count; ++i)
        list.emplace_back(items[i]);
    Tcl_Free(reinterpret_cast<char*>(items));
    return list;
}

std::string ScalarJson(const std::string& text)
{
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    const bool number = !text.empty() && *end == '\0' && errno == 0 && text.find_first_of("xXnN") == std::string::npos;
    return number ? JsonNumber(value) : JsonString(text);
}

std::string ToJson(const std::string& text, const Shape& shape)
{
    if (shape.kind == Shape::kScalar)
        return ScalarJson(text);
    if (shape.kind == Shape::kText)
        return JsonString(text);
    const std::vector<std::string> items = SplitList(text);
    std::string out;
    if (shape.kind == Shape::kList) {
        for (const std::string& item : items)
            out += (out.empty() ? "" : ",") + ToJson(item, *shape.element);
        return "[" + out + "]";
    }
    for (size_t i = 0; i < items.size(); ++i) {
        const bool row = shape.kind == Shape::kRow;
        if (!row && i + 1 >= items.size())
            break;
        const std::string key = row ? (i < shape.names.size() ? shape.names[i] : std::to_string(i)) : items[i];
        const std::string& value = row ? items[i] : items[i + 1];
        const auto known = shape.fields.find(key);
        out += (out.empty() ? "" : ",") + JsonString(key) + ":" +
               ToJson(value, known != shape.fields.end() ? *known->second : kScalarShape);
        i += row ? 0 : 1;
    }
    return "{" + out + "}";
}

// ---- Text for people.

std::map<std::string, std::string> Dict(const std::string& text)
{
    const std::vector<std::string> items = SplitList(text);
    std::map<std::string, std::string> dict;
    for (size_t i = 0; i + 1 < items.size(); i += 2)
        dict[items[i]] = items[i + 1];
    return dict;
}

double Number(const std::map<std::string, std::string>& dict, const char* key)
{
    const auto found = dict.find(key);
    return found != dict.end() ? std::strtod(found->second.c_str(), nullptr) : 0;
}

std::string Duration(double seconds)
{
    const auto s = static_cast<long>(seconds);
    char text[64];
    std::snprintf(text, sizeof text, "%ldd %ldh %ldm %lds", s / 86400, s % 86400 / 3600, s % 3600 / 60, s % 60);
    return text;
}

void PrintStatus(const std::string& text)
{
    auto status = Dict(text);
    auto connections = Dict(status["connections"]);
    auto rates = Dict(status["rates"]);
    auto articles = Dict(status["articles"]);
    auto history = Dict(status["history"]);
    std::printf("uptime       %s\n", Duration(Number(status, "uptime")).c_str());
    std::printf("intake       %s\n",
                Number(status, "paused") != 0 ? ("PAUSED: " + status["reason"]).c_str() : "running");
    std::printf("connections  %s readers, %s feeders, %s outgoing (%s of %s incoming)\n",
                connections["readers"].c_str(), connections["feeders"].c_str(), connections["outgoing"].c_str(),
                connections["incoming"].c_str(), connections["limit"].c_str());
    std::printf("last minute  %s accepted/s, %s refused/s, %s rejected/s\n", rates["accepted"].c_str(),
                rates["refused"].c_str(), rates["rejected"].c_str());
    std::printf("since start  %s accepted, %s refused, %s rejected\n", articles["accepted"].c_str(),
                articles["refused"].c_str(), articles["rejected"].c_str());
    const double capacity = Number(history, "capacity");
    std::printf("history      %s of %s entries (%.1f %%)\n", history["entries"].c_str(), history["capacity"].c_str(),
                capacity > 0 ? 100 * Number(history, "entries") / capacity : 0.0);
    for (const std::string& item : SplitList(status["stores"])) {
        auto store = Dict(item);
        const double size = Number(store, "size");
        std::printf("store %-6s %.1f %% of %.0f MB written, %s wraps\n", store["number"].c_str(),
                    size > 0 ? 100 * Number(store, "position") / size : 0.0, size / 1048576, store["wraps"].c_str());
    }
    for (const std::string& item : SplitList(status["sites"])) {
        auto site = Dict(item);
        std::printf("backlog      %s: %s in memory, %s bytes queued\n", site["name"].c_str(), site["backlog"].c_str(),
                    site["queue_bytes"].c_str());
    }
}

// Each dict of a list as one line of columns, with a heading.
void PrintTable(const std::string& text, const std::vector<const char*>& columns)
{
    for (const char* column : columns)
        std::printf("%-14s", column);
    std::printf("\n");
    for (const std::string& item : SplitList(text)) {
        auto row = Dict(item);
        for (const char* column : columns)
            std::printf("%-14s", row[column].c_str());
        std::printf("\n");
    }
}

void PrintGroups(const std::string& text)
{
    for (const std::string& item : SplitList(text)) {
        const std::vector<std::string> row = SplitList(item);
        if (row.size() == 4)
            std::printf("%s %s %s %s\n", row[0].c_str(), row[1].c_str(), row[2].c_str(), row[3].c_str());
    }
}

// ---- The request.

struct Command {
    const char* word;
    const char* tcl;
    size_t minArgs, maxArgs;
    const Shape* shape;  // null: the answer is plain text
    void (*print)(const std::string&);
};

void PrintPeers(const std::string& text)
{
    PrintTable(text, {"host", "rights", "connected", "connects", "accepted", "refused", "rejected"});
}

void PrintSites(const std::string& text)
{
    PrintTable(text, {"name", "host", "connected", "accepted", "refused", "rejected", "backlog", "queue_bytes"});
}

constexpr size_t kMany = 1000;
const Command kCommands[] = {
    {"status", "GetStatus", 0, 0, &kStatus, PrintStatus},
    {"groups", "ListGroups", 0, 1, &kGroups, PrintGroups},
    {"newgroup", "NewGroup", 1, 3, nullptr, nullptr},
    {"rmgroup", "RemoveGroup", 1, 1, nullptr, nullptr},
    {"peers", "GetPeerStatus", 0, 0, &kPeers, PrintPeers},
    {"sites", "GetSiteStatus", 0, 0, &kSites, PrintSites},
    {"pause", "PauseIntake", 1, kMany, nullptr, nullptr},
    {"go", "ResumeIntake", 0, 0, nullptr, nullptr},
    {"logreopen", "ReopenLog", 0, 0, nullptr, nullptr},
    {"shutdown", "Shutdown", 0, 0, nullptr, nullptr},
    {"tcl", nullptr, 1, 1, nullptr, nullptr},
};

// The Tcl line for the command: its words quoted as a list, the reason of
// a pause joined into one word; `tcl` sends its argument as written.
std::string RequestLine(const Command& command, const std::vector<std::string>& args)
{
    if (command.tcl == nullptr)
        return args[0];
    std::vector<std::string> words{command.tcl};
    if (std::strcmp(command.word, "pause") == 0) {
        std::string reason;
        for (const std::string& arg : args)
            reason += (reason.empty() ? "" : " ") + arg;
        words.push_back(reason);
    } else {
        words.insert(words.end(), args.begin(), args.end());
    }
    std::vector<const char*> pointers;
    for (const std::string& word : words)
        pointers.push_back(word.c_str());
    char* merged = Tcl_Merge(static_cast<int>(pointers.size()), pointers.data());
    std::string line(merged);
    Tcl_Free(merged);
    return line;
}

// Sends the line and reads the framed answer; false with *problem set when
// the server cannot be reached or the answer breaks off.
bool Exchange(const std::string& path, std::string line, bool* ok, std::string* text, std::string* problem)
{
    UniqueFd fd = ConnectLocal(path.c_str());
    if (!fd) {
        const int error = errno;
        *problem = error == EACCES || error == EPERM
                       ? path + ": permission denied (run verdalixctl as the server's user or as root)"
                   : error == ENOENT || error == ECONNREFUSED
                       ? "no server is listening on " + path + " (is verdalix running?)"
                       : path + ": " + std::strerror(error);
        return false;
    }
    for (char& c : line)
        c = c == '\n' || c == '\r' ? ' ' : c;  // one request is one line
    line += '\n';
    if (!SendAll(fd.get(), line.data(), line.size())) {
        *problem = "cannot send to " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string answer;
    char chunk[65536];
    for (;;) {
        // The answer is complete at a line starting "OK " / "ERR " (or a bare "OK").
        const size_t last = answer.rfind('\n', answer.size() >= 2 ? answer.size() - 2 : 0);
        const std::string_view tail = std::string_view(answer).substr(last == std::string::npos ? 0 : last + 1);
        if (!answer.empty() && answer.back() == '\n' && (tail.starts_with("OK ") || tail.starts_with("ERR ")))
            break;
        const ssize_t got = ReceiveSome(fd.get(), chunk, sizeof chunk);
        if (got <= 0) {
            *problem = "the server closed the connection before it answered";
            return false;
        }
        answer.append(chunk, static_cast<size_t>(got));
    }
    *ok = answer.starts_with("OK");
    for (size_t at = 0; at < answer.size();) {
        const size_t end = answer.find('\n', at);
        const size_t skip = answer.compare(at, 2, "OK") == 0 ? 3 : 4;
        text->append(answer, at + skip, end - at - skip);
        text->append(end + 1 < answer.size() ? "\n" : "");
        at = end + 1;
    }
    return true;
}

bool ParseOptions(int argc, char* argv[], Options* options)
{
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const std::string_view option = argv[i];
        if (option == "--json")
            options->json = true;
        else if (option == "-s" && i + 1 < argc)
            options->socket = argv[++i];
        else if (option == "-h" || option == "--help")
            return false;
        else
            return false;
    }
    for (; i < argc; ++i)
        options->words.emplace_back(argv[i]);
    return !options->words.empty();
}

// The socket path from the server's configuration file.
bool SocketFromConfiguration(std::string* path, std::string* problem)
{
    const char* file = std::getenv("VERDALIX_CONFIGFILE");
    if (file == nullptr || file[0] == '\0')
        file = kDefaultConfigFile;
    FILE* in = std::fopen(file, "r");
    if (in == nullptr) {
        *problem = std::string("cannot read the configuration ") + file + ": " + std::strerror(errno) +
                   " (name the socket with -s PATH)";
        return false;
    }
    ConfigReadFile(in);
    std::fclose(in);
    *path = ControlSocketPath();
    return true;
}

int Fail(const std::string& text)
{
    std::fprintf(stderr, "verdalixctl: %s\n", text.c_str());
    return 1;
}

}  // namespace

int main(int argc, char* argv[])
{
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    const Command* command = nullptr;
    for (const Command& known : kCommands)
        command = options.words[0] == known.word ? &known : command;
    const size_t args = options.words.size() - 1;
    if (command == nullptr || args < command->minArgs || args > command->maxArgs) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    std::string problem;
    if (options.socket.empty() && !SocketFromConfiguration(&options.socket, &problem))
        return Fail(problem);
    const std::vector<std::string> words(options.words.begin() + 1, options.words.end());
    bool ok = false;
    std::string text;
    if (!Exchange(options.socket, RequestLine(*command, words), &ok, &text, &problem))
        return Fail(problem);
    if (options.json) {
        const std::string result = ok && command->shape != nullptr ? ToJson(text, *command->shape) : JsonString(text);
        std::printf("{\"ok\":%s,\"result\":%s}\n", ok ? "true" : "false", result.c_str());
    } else if (!ok) {
        std::fprintf(stderr, "verdalixctl: %s\n", text.c_str());
    } else if (command->print != nullptr) {
        command->print(text);
    } else if (!text.empty()) {
        std::printf("%s\n", text.c_str());
    }
    return ok ? 0 : 1;
}

// Control-message consumer. It runs on a thread of its own, never under the
// article insertion lock: group changes take the group index lock through
// the group database, and a signature check may take seconds.
#include "control/control_queue.h"

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "access/wildcard.h"
#include "control/control_article.h"
#include "control/control_groups.h"
#include "control/control_policy.h"
#include "control/pgp_verify.h"
#include "control/tcl_interface.h"
#include "groups/groupdb.h"
#include "platform/directory.h"
#include "platform/file_io.h"
#include "platform/process.h"
#include "server/config.h"
#include "server/log.h"

namespace {

constexpr auto kScanInterval = std::chrono::seconds(1);
constexpr auto kStartWait = std::chrono::milliseconds(200);
// Articles are at most 1 MB; anything much larger is not one of ours.
constexpr int64_t kMaxControlFile = 4 * 1024 * 1024;
constexpr size_t kMaxDescription = 512;
constexpr size_t kMaxReportNames = 100;
constexpr std::string_view kDescriptionMarker = "For your newsgroups file:";

std::string queueDir;
std::string policyPath;
std::string keyring;
std::string gpgvPath;
std::set<std::string> keptFiles;  // passed over until the next start
bool policyFailureLogged = false;

// What a message is about: the group it names (for checkgroups the first
// group listed), and the text of its log lines.
struct Message {
    std::string file;
    ControlArticle article;
    std::string group;
    std::string what;
};

std::string Setting(ConfigKey key)
{
    const char* value = ConfigText(key);
    return value != nullptr ? std::string(value) : std::string();
}

bool ReadControlFile(const std::string& path, std::string* text, std::string* error)
{
    UniqueFd file = OpenFile(path.c_str(), O_RDONLY);
    int64_t size = file ? FileSize(file.get()) : -1;
    if (size < 0 || size > kMaxControlFile) {
        *error = size < 0 ? "cannot be read: " + std::string(std::strerror(errno)) : "larger than 4 MB";
        return false;
    }
    text->resize(static_cast<size_t>(size));
    if (ReadAll(file.get(), text->data(), text->size()) != size) {
        *error = "cannot be read: " + std::string(std::strerror(errno));
        return false;
    }
    return true;
}

// Group names listed in a checkgroups body: the first word of each line.
std::vector<std::string> ListedGroups(const std::string& body)
{
    std::vector<std::string> names;
    size_t start = 0;
    while (start < body.size()) {
        size_t end = std::min(body.find('\n', start), body.size());
        std::string line = body.substr(start, end - start);
        std::string name = line.substr(0, line.find_first_of(" \t"));
        if (ValidGroupName(name))
            names.push_back(name);
        start = end + 1;
    }
    return names;
}

// The description a newgroup body gives: after the line "For your
// newsgroups file:", the rest of the line that starts with the group's
// name, without control characters.
std::string Description(const ControlArticle& article, const std::string& name)
{
    std::string body = UnfoldToText(article.body, true);
    size_t marker = body.find(kDescriptionMarker);
    if (marker == std::string::npos)
        return {};
    for (size_t start = marker + kDescriptionMarker.size(); start < body.size();) {
        size_t end = std::min(body.find('\n', start), body.size());
        std::string_view line(body.data() + start, end - start);
        start = end + 1;
        if (line.size() <= name.size() || line.substr(0, name.size()) != name ||
            (line[name.size()] != ' ' && line[name.size()] != '\t'))
            continue;
        std::string text;
        for (char c : line.substr(name.size()))
            if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f && text.size() < kMaxDescription)
                text += c;
        size_t first = text.find_first_not_of(' ');
        return first == std::string::npos ? std::string() : text.substr(first);
    }
    return {};
}

std::string NameList(const std::vector<std::string>& names)
{
    std::string text;
    for (size_t i = 0; i < names.size() && i < kMaxReportNames; ++i)
        text += (i == 0 ? "" : " ") + names[i];
    if (names.size() > kMaxReportNames)
        text += " and " + std::to_string(names.size() - kMaxReportNames) + " more";
    return names.empty() ? "none" : text;
}

std::string TopLevel(const std::string& name)
{
    return name.substr(0, name.find('.'));
}

// The listed groups against the carried ones, within the rule's hierarchy
// pattern and the top-level hierarchies the list names.
void ReportCheckgroups(const Message& m, const ControlRule& rule)
{
    std::vector<std::string> listed = ListedGroups(UnfoldToText(m.article.body, true));
    std::set<std::string> wanted, tops;
    for (const std::string& name : listed) {
        if (StringMatch(name.c_str(), rule.hierarchy.c_str())) {
            wanted.insert(name);
            tops.insert(TopLevel(name));
        }
    }
    std::set<std::string> carried;
    ForEachGroup([&](const char* name, const GroupRecord&) {
        if (tops.count(TopLevel(name)) != 0 && StringMatch(name, rule.hierarchy.c_str()))
            carried.insert(name);
    });
    std::vector<std::string> missing, extra;
    std::set_difference(wanted.begin(), wanted.end(), carried.begin(), carried.end(), std::back_inserter(missing));
    std::set_difference(carried.begin(), carried.end(), wanted.begin(), wanted.end(), std::back_inserter(extra));
    LogFormat("control: %s: %zu groups listed; listed but not carried here: %s; carried here but not listed: %s",
              m.what.c_str(), wanted.size(), NameList(missing).c_str(), NameList(extra).c_str());
}

// Carries out a `doit`; false when the file is to be kept.
bool Act(const Message& m, const ControlRule& rule)
{
    const std::string& type = m.article.type;
    std::string outcome;
    bool ok = true;
    if (type == "newgroup") {
        char flag = m.article.args.size() > 1 && m.article.args[1] == "moderated" ? 'm' : 'y';
        ok = CreateGroupByControl(m.group, flag, Description(m.article, m.group), &outcome);
    } else if (type == "rmgroup") {
        ok = RemoveGroupByControl(m.group, &outcome);
    } else if (type == "checkgroups") {
        ReportCheckgroups(m, rule);
        return true;
    } else {
        outcome = "not a type this server acts on";
    }
    LogFormat("control: %s: %s%s", m.what.c_str(), ok ? "" : "failed, file kept: ", outcome.c_str());
    return ok;
}

// A `verify` rule: the action stays only for a good signature by a signer
// the rule accepts.
ControlAction CheckSignature(const Message& m, const ControlRule& rule)
{
    SignatureCheck check = VerifyControlSignature(m.article, gpgvPath, keyring, queueDir);
    if (check.good && StringMatch(check.signer.c_str(), rule.signer.c_str())) {
        LogFormat("control: %s: good signature by %s", m.what.c_str(), check.signer.c_str());
        return rule.action;
    }
    std::string reason = check.good ? "signer " + check.signer + " does not match " + rule.signer : check.reason;
    LogFormat("control: %s: signature not accepted (%s); only logged", m.what.c_str(), reason.c_str());
    return ControlAction::kLog;
}

// Checks the message's form; false (with *error) for one that names no
// usable group where it must.
bool Describe(Message& m, std::string* error)
{
    const ControlArticle& a = m.article;
    const ControlHeader* id = FindControlHeader(a, "Message-ID");
    m.what = m.file + ": " + a.type;
    if (a.type == "newgroup" || a.type == "rmgroup") {
        if (a.args.empty() || !ValidGroupName(a.args[0])) {
            *error = a.type + " without a valid group name";
            return false;
        }
        m.group = a.args[0];
        m.what += " " + m.group + (a.args.size() > 1 ? " " + a.args[1] : "");
    } else if (a.type == "checkgroups") {
        std::vector<std::string> listed = ListedGroups(UnfoldToText(a.body, true));
        m.group = listed.empty() ? std::string() : listed[0];
    }
    m.what += " from " + a.sender + (id != nullptr ? " " + std::string(id->value) : "");
    // Everything here came from the network: one log line stays one line.
    std::replace_if(m.what.begin(), m.what.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }, '?');
    return true;
}

// Deals with one file: true when it is to be removed.
bool ProcessFile(const std::string& name, const std::vector<ControlRule>& rules)
{
    Message m;
    m.file = name;
    std::string text, error;
    if (!ReadControlFile(queueDir + "/" + name, &text, &error) || !ParseControlArticle(text, &m.article, &error) ||
        !Describe(m, &error)) {
        LogFormat("control: %s kept: %s", name.c_str(), error.c_str());
        return false;
    }
    ControlRule rule = ChooseControlRule(rules, m.article.type, m.article.sender, m.group);
    ControlAction action = rule.action;
    if (action == ControlAction::kDoit && rule.verify)
        action = CheckSignature(m, rule);
    if (action == ControlAction::kDrop)
        return true;
    if (action == ControlAction::kLog) {
        LogFormat("control: %s: logged only, as the policy says", m.what.c_str());
        return true;
    }
    return Act(m, rule);
}

uint64_t FileNumber(const std::string& name)
{
    return std::strtoull(name.c_str(), nullptr, 10);
}

bool LoadPolicy(std::vector<ControlRule>* rules)
{
    if (policyPath.empty())
        return true;
    if (LoadControlPolicy(policyPath, rules)) {
        policyFailureLogged = false;
        return true;
    }
    if (!policyFailureLogged)
        LogLine("control: control files wait until the policy file can be read");
    policyFailureLogged = true;
    return false;
}

// One pass over the queue directory: the files dealt with are removed.
void ProcessControlQueue()
{
    std::vector<std::string> names;
    if (!ListFiles(queueDir, ".control", &names))
        return;
    names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& n) { return keptFiles.count(n) != 0; }),
                names.end());
    std::vector<ControlRule> rules;
    if (names.empty() || !LoadPolicy(&rules))
        return;
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return FileNumber(a) != FileNumber(b) ? FileNumber(a) < FileNumber(b) : a < b;
    });
    for (const std::string& name : names) {
        if (bShutDown)
            break;
        std::string path = queueDir + "/" + name;
        if (!ProcessFile(name, rules)) {
            keptFiles.insert(name);
        } else if (!RemoveFile(path.c_str())) {
            LogFormat("control: %s dealt with but not removed: %s", name.c_str(), std::strerror(errno));
            keptFiles.insert(name);  // not to be acted on twice
        }
    }
}

void ControlWorker()
{
    while (!readyToGo && !bShutDown)
        std::this_thread::sleep_for(kStartWait);
    ControlGroupsReapplyRemovals();
    while (!bShutDown) {
        ProcessControlQueue();
        std::this_thread::sleep_for(kScanInterval);
    }
}

}  // namespace

void ControlQueueInit()
{
    queueDir = Setting(ConfigKey::kControlQueueDirectory);
    policyPath = Setting(ConfigKey::kControlPolicyFile);
    keyring = Setting(ConfigKey::kControlKeyring);
    gpgvPath = Setting(ConfigKey::kGpgvPath);
    keptFiles.clear();
    ControlGroupsInit();
    if (ConfigNumber(ConfigKey::kProcessControlMessages) == 0)
        return;
    if (!StartThread("control worker", ControlWorker))
        LogLine("control: the control queue is not processed");
}


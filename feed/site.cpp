// Site list and the configuration operations behind the site Tcl commands.
#include "feed/site.h"

#include <strings.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "access/incoming.h"
#include "access/match.h"
#include "feed/connection.h"
#include "server/config.h"

Site* siteHead = nullptr;

CriticalSection& csSiteList()
{
    static Lasting<CriticalSection> cs;
    return *cs;
}

namespace {

uint32_t siteCount = 0;
constexpr int kMaxPort = 65535;

// Every feed expression ever set and every deleted site is kept, never
// freed: another thread may still be using a replaced one.
std::vector<std::unique_ptr<MatchExpression>>& FeedSpecs()
{
    static auto* specs = new std::vector<std::unique_ptr<MatchExpression>>;
    return *specs;
}

std::vector<Site*>& DeletedSites()
{
    static auto* deleted = new std::vector<Site*>;
    return *deleted;
}

bool SameText(const char* a, const char* b)
{
    return strcasecmp(a, b) == 0;
}

void AppendFormat(std::string& text, const char* format, ...) __attribute__((format(printf, 2, 3)));

void AppendFormat(std::string& text, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    size_t at = text.size();
    text.resize(at + length + 1);
    std::vsnprintf(text.data() + at, length + 1, format, again);
    va_end(again);
    text.resize(at + length);
}

int SetCreateFeeder(Site* site, const char*)
{
    if (!SiteConnect(site, 0))
        return 0;
    ++site->connections;
    return 1;
}

int SetHostname(Site* site, const char* value)
{
    if (SameText(value, "(not set)"))
        site->hostname.clear();
    else
        site->hostname = value;
    return 1;
}

// A port outside 1..65535 would be cut to another port: refused like 0.
int SetPort(Site* site, const char* value)
{
    int port = std::atoi(value);
    if (port <= 0 || port > kMaxPort)
        return 0;
    site->port = static_cast<uint16_t>(port);
    return 1;
}

int SetMaxQFiles(Site* site, const char* value)
{
    uint32_t count = static_cast<uint32_t>(std::atoi(value));
    if (count == 0)
        return 0;
    site->maxQFiles = count;
    return 1;
}

int SetConnections(Site* site, const char* value)
{
    int wanted = std::atoi(value);
    if (wanted < 0 || wanted > kSiteSlots)
        return 0;
    for (; site->connections < wanted; ++site->connections)
        SiteConnect(site, 0);
    for (; site->connections > wanted; --site->connections)
        SiteDisconnect(site);
    return 1;
}

// A text that does not compile leaves the old expression in place.
int SetFeedSpec(Site* site, const char* value)
{
    if (value[0] == '(') {
        site->feedSpec = nullptr;
        site->feedSpecText.clear();
        return 1;
    }
    std::unique_ptr<MatchExpression> compiled = CompileMatchString(value);
    if (compiled == nullptr)
        return 0;
    site->feedSpec = compiled.get();
    site->feedSpecText = value;
    FeedSpecs().push_back(std::move(compiled));
    return 1;
}

int SetRealtime(Site* site, const char* value)
{
    site->realtime = std::atoi(value);
    return 1;
}

int SetRequeuesAllowed(Site* site, const char* value)
{
    site->requeuesAllowed = std::atoi(value);
    return 1;
}

int SetDoStreaming(Site* site, const char* value)
{
    site->doStreaming = std::atoi(value);
    return 1;
}

void UnlinkDequeueHost(Site* site)
{
    if (!site->dequeueHost.empty())
        SetIncomingParameter(site->dequeueHost.c_str(), "dequeue", -1);
    site->dequeueHost.clear();
}

// A host replaced by another is unlinked too, so that it no longer passes
// for this site.
int SetDequeue(Site* site, const char* value)
{
    if (value[0] == '\0' || SameText(value, "(none)")) {
        UnlinkDequeueHost(site);
        return 1;
    }
    if (!SetIncomingParameter(value, "dequeue", static_cast<int>(site->number)))
        return 0;
    if (!site->dequeueHost.empty() && !SameText(site->dequeueHost.c_str(), value))
        UnlinkDequeueHost(site);
    site->dequeueHost = value;
    return 1;
}

int SetTls(Site* site, const char* value)
{
    if (std::strcmp(value, "0") != 0 && std::strcmp(value, "1") != 0)
        return 0;
    site->tls = value[0] - '0';
    return 1;
}

int SetTlsCAFile(Site* site, const char* value)
{
    site->tlsCAFile = value;
    return 1;
}

struct Parameter {
    const char* name;
    int (*set)(Site* site, const char* value);
};

constexpr Parameter kParameters[] = {
    {"createfeeder", SetCreateFeeder},
    {"hostname", SetHostname},
    {"port", SetPort},
    {"maxQFiles", SetMaxQFiles},
    {"connections", SetConnections},
    {"feedspec", SetFeedSpec},
    {"realtime", SetRealtime},
    {"requeuesAllowed", SetRequeuesAllowed},
    {"doStreaming", SetDoStreaming},
    {"dequeue", SetDequeue},
    {"tls", SetTls},
    {"tlsCAFile", SetTlsCAFile},
};

const Parameter* FindParameter(const char* name)
{
    for (const Parameter& parameter : kParameters)
        if (SameText(parameter.name, name))
            return &parameter;
    return nullptr;
}

const char* OrDefault(const std::string& text, const char* fallback)
{
    return text.empty() ? fallback : text.c_str();
}

// Listed only when on, so the list of a plain site reads as it always has.
std::string TlsReport(const Site* site)
{
    if (site->tls == 0)
        return {};
    return " {tls 1} {tlsCAFile {" + std::string(OrDefault(site->tlsCAFile, "(system)")) + "}}";
}

// Only a site without expression gets every article; an empty expression
// is shown as it is, since it matches none.
const char* FeedSpecReport(const Site* site)
{
    return site->feedSpec == nullptr ? "(send all)" : site->feedSpecText.c_str();
}

uint32_t QueuedBytes(const char* read, const char* write)
{
    return static_cast<uint32_t>(write - read);
}

}  // namespace

int SiteInit()
{
    return FeedConnectionInit();
}

int SiteCreate(const char* name)
{
    Site* site = new Site;
    site->name = name;
    CsLock lock(csSiteList());
    site->number = siteCount++;
    site->next = siteHead;
    siteHead = site;
    return 1;
}

int SiteDelete(const char* name)
{
    CsLock list(csSiteList());
    Site** link = &siteHead;
    while (*link != nullptr && !SameText((*link)->name.c_str(), name))
        link = &(*link)->next;
    Site* site = *link;
    if (site == nullptr)
        return 0;
    CsLock lock(site->lock);
    *link = site->next;
    while (SiteDisconnect(site)) {
        // idle ones quit now, busy ones once their current write is done
    }
    site->deleted = 1;
    DeletedSites().push_back(site);
    return 1;
}

Site* SiteFind(const char* name)
{
    CsLock lock(csSiteList());
    for (Site* site = siteHead; site != nullptr; site = site->next)
        if (SameText(site->name.c_str(), name))
            return site;
    return nullptr;
}

std::string SiteGetList()
{
    std::string text;
    CsLock lock(csSiteList());
    for (Site* site = siteHead; site != nullptr; site = site->next)
        text += "{" + site->name + "} ";
    return text;
}

std::string SiteUnknownParameter(const char* parameter)
{
    if (FindParameter(parameter) != nullptr)
        return {};
    std::vector<std::string_view> names;
    for (const Parameter& known : kParameters)
        names.emplace_back(known.name);
    const size_t nearest = NearestName(parameter, names);
    return std::string("unknown parameter \"") + parameter + "\"" +
           (nearest < names.size() ? "; did you mean " + std::string(names[nearest]) + "?" : std::string());
}

std::string SiteParameterProblem(const char* name, const char* parameter, const char* value)
{
    {
        CsLock list(csSiteList());
        if (SiteFind(name) == nullptr)
            return std::string("no site named \"") + name + "\"";
    }
    const Parameter* found = FindParameter(parameter);
    if (found == nullptr)
        return SiteUnknownParameter(parameter);
    if (value == nullptr && found->set != SetCreateFeeder)
        return std::string("parameter ") + found->name + " needs a value";
    return std::string("bad value \"") + (value != nullptr ? value : "") + "\" for parameter " + found->name;
}

int SiteSetParameter(const char* name, const char* parameter, const char* value)
{
    CsLock list(csSiteList());
    Site* site = SiteFind(name);
    const Parameter* found = FindParameter(parameter);
    if (site == nullptr || found == nullptr || (value == nullptr && found->set != SetCreateFeeder))
        return 0;
    CsLock lock(site->lock);
    return found->set(site, value);
}

std::optional<std::string> SiteGetConfig(const char* name)
{
    CsLock list(csSiteList());
    Site* site = SiteFind(name);
    if (site == nullptr)
        return std::nullopt;
    CsLock lock(site->lock);
    std::string text;
    text.reserve(site->feedSpecText.size() + 8964);
    AppendFormat(text,
                 "{%s {{parameters {{hostname {%s}} {port %u} {maxqfiles %u} {connections %u} {realtime %u} "
                 "{requeuesAllowed %u} {doStreaming %u} {dequeue {%s}} {feedspec {%s}}%s}} ",
                 site->name.c_str(), OrDefault(site->hostname, "(not set)"), site->port, site->maxQFiles,
                 site->connections, site->realtime, site->requeuesAllowed, site->doStreaming,
                 OrDefault(site->dequeueHost, "(none)"), FeedSpecReport(site), TlsReport(site).c_str());
    AppendFormat(text,
                 "{statistics {{accepts %u} {refused %u} {rejected %u} {requeues %u} {commandErrors %u} "
                 "{articleq %u} {transmitq %u} {curSendFileName %s} {transmitQOverflows %u} {missing %u}}} "
                 "{connections {",
                 site->accepts.load(), site->refused.load(), site->rejected.load(), site->requeues.load(),
                 site->commandErrors.load(), QueuedBytes(site->articleQRead, site->articleQWrite),
                 QueuedBytes(site->transmitQRead, site->transmitQWrite),
                 OrDefault(site->curSendFileName, "(none)"), site->transmitQOverflows.load(),
                 site->missing.load());
    for (int i = 0; i < kSiteSlots; ++i) {
        const Connection* c = site->connection[i];
        if (c != nullptr)
            AppendFormat(text, "{%u {{state %u} {outstanding: %i} {errors %u} {streaming %u}}} ", i, c->state.load(),
                         c->outstanding.load(), c->errors.load(), c->streaming);
    }
    text += "}}}}";
    return text;
}

void PrintSiteInfo()
{
    CsLock list(csSiteList());
    for (Site* site = siteHead; site != nullptr; site = site->next) {
        CsLock lock(site->lock);
        std::printf("site: %s tq: %u, aq: %u, sf %x\n", site->name.c_str(),
                    QueuedBytes(site->transmitQRead, site->transmitQWrite),
                    QueuedBytes(site->articleQRead, site->articleQWrite), site->readFile.get());
        for (const Connection* c : site->connection)
            if (c != nullptr)
                std::printf("  state: %u, outstanding: %u, lastchangeline: %u\n", c->state.load(), c->outstanding.load(),
                            c->lastChangeLine);
    }
    std::fflush(stdout);
}

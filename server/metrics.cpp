// The metrics text and the status page's JSON, made from one status
// snapshot and the counters of the modules.
#include "server/metrics.h"

#include <cstdio>

#include "nntp/nntp.h"
#include "platform/socket.h"
#include "server/json.h"
#include "server/log.h"
#include "server/stats.h"
#include "server/status.h"

namespace {

// Label values escape backslash, quote and line feed.
std::string Label(std::string_view value)
{
    std::string out;
    for (const char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

class Exposition {
public:
    // Starts a family: its HELP and TYPE lines.
    void Family(const char* name, const char* type, const char* help)
    {
        name_ = name;
        text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    // One sample of the current family; `labels` is "k=\"v\",..." or empty.
    void Sample(const std::string& labels, double value)
    {
        text_ += name_;
        if (!labels.empty())
            text_ += "{" + labels + "}";
        text_ += " " + JsonNumber(value) + "\n";
    }
    void Single(const char* name, const char* type, const char* help, double value)
    {
        Family(name, type, help);
        Sample("", value);
    }
    std::string Take() { return std::move(text_); }

private:
    std::string name_;
    std::string text_;
};

std::string One(const char* key, std::string_view value)
{
    return std::string(key) + "=\"" + Label(value) + "\"";
}

void Articles(Exposition& e)
{
    e.Family("verdalix_articles_total", "counter", "Articles offered by incoming peers, by command and outcome.");
    e.Sample(One("command", "ihave") + "," + One("result", "accepted"), ihave_accept);
    e.Sample(One("command", "ihave") + "," + One("result", "refused"), ihave_refuse);
    e.Sample(One("command", "ihave") + "," + One("result", "rejected"), ihave_reject);
    e.Sample(One("command", "takethis") + "," + One("result", "accepted"), takethis_accept);
    e.Sample(One("command", "takethis") + "," + One("result", "rejected"), takethis_refuse);
    e.Single("verdalix_check_requests_total", "counter", "CHECK requests.", check);
    e.Single("verdalix_check_refused_total", "counter", "CHECK requests answered 438 (already had).", check_refuse);
    e.Family("verdalix_commands_total", "counter", "Commands run by incoming connections, by command.");
    for (const CommandCount& command : CommandCounts())
        e.Sample(One("command", command.word), static_cast<double>(command.count));
    e.Family("verdalix_network_bytes_total", "counter", "Bytes received and sent on incoming connections.");
    e.Sample(One("direction", "in"), static_cast<double>(SocketBytesReceived()));
    e.Sample(One("direction", "out"), static_cast<double>(SocketBytesSent()));
}

void Peers(Exposition& e, const ServerStatus& s)
{
    e.Family("verdalix_peer_articles_total", "counter", "Articles from each incoming peer entry, by outcome.");
    for (const IncomingCounts& peer : s.peers) {
        e.Sample(One("peer", peer.host) + "," + One("result", "accepted"), peer.accepts);
        e.Sample(One("peer", peer.host) + "," + One("result", "refused"), peer.refuses);
        e.Sample(One("peer", peer.host) + "," + One("result", "rejected"), peer.rejects);
    }
    e.Family("verdalix_peer_connections", "gauge", "Open connections of each incoming peer entry.");
    for (const IncomingCounts& peer : s.peers)
        e.Sample(One("peer", peer.host), peer.connected);
}

void Sites(Exposition& e, const ServerStatus& s)
{
    struct Column {
        const char* name;
        const char* type;
        const char* help;
        double (*value)(const SiteStatus&);
    };
    static constexpr Column kColumns[] = {
        {"verdalix_site_offered_total", "counter", "Articles offered to each outgoing site and answered.",
         [](const SiteStatus& x) { return double(x.accepted) + x.refused + x.rejected; }},
        {"verdalix_site_accepted_total", "counter", "Articles each outgoing site took.",
         [](const SiteStatus& x) { return double(x.accepted); }},
        {"verdalix_site_refused_total", "counter", "Offers each outgoing site already had.",
         [](const SiteStatus& x) { return double(x.refused); }},
        {"verdalix_site_rejected_total", "counter", "Articles each outgoing site rejected.",
         [](const SiteStatus& x) { return double(x.rejected); }},
        {"verdalix_site_backlog_articles", "gauge", "Message-IDs waiting in memory for each outgoing site.",
         [](const SiteStatus& x) { return double(x.memoryQueued); }},
        {"verdalix_site_backlog_bytes", "gauge", "Bytes of message-IDs waiting in queue files for each site.",
         [](const SiteStatus& x) { return double(x.queueBytes); }},
        {"verdalix_site_connections", "gauge", "Open connections to each outgoing site.",
         [](const SiteStatus& x) { return double(x.connected); }},
    };
    for (const Column& column : kColumns) {
        e.Family(column.name, column.type, column.help);
        for (const SiteStatus& site : s.sites)
            e.Sample(One("site", site.name), column.value(site));
    }
}

void Connections(Exposition& e, const ServerStatus& s)
{
    e.Family("verdalix_connections", "gauge", "Open connections, by kind.");
    e.Sample(One("kind", "reader"), s.readers);
    e.Sample(One("kind", "feeder"), s.feeders);
    e.Sample(One("kind", "outgoing"), s.outgoing);
    e.Family("verdalix_connections_total", "counter", "Incoming connections since start, by kind.");
    e.Sample(One("kind", "reader"), static_cast<double>(s.readersTotal));
    e.Sample(One("kind", "feeder"), static_cast<double>(s.feedersTotal));
    e.Single("verdalix_incoming_connections", "gauge", "Open incoming connections of every kind.", s.connected);
    e.Single("verdalix_incoming_connection_limit", "gauge", "MaxIncomingConnections.", s.connectionLimit);
}

void Storage(Exposition& e, const ServerStatus& s)
{
    e.Family("verdalix_store_size_bytes", "gauge", "Size of each article store.");
    for (const StoreStatus& store : s.stores)
        e.Sample(One("store", std::to_string(store.number)), static_cast<double>(store.size));
    e.Family("verdalix_store_position_bytes", "gauge", "Where each store writes its next record.");
    for (const StoreStatus& store : s.stores)
        e.Sample(One("store", std::to_string(store.number)), static_cast<double>(store.position));
    e.Family("verdalix_store_wraps_total", "counter", "Times each store's ring came round.");
    for (const StoreStatus& store : s.stores)
        e.Sample(One("store", std::to_string(store.number)), store.wraps);
    e.Single("verdalix_history_entries", "gauge", "Entries the history ring holds.", s.historyEntries);
    e.Single("verdalix_history_capacity", "gauge", "Entries the history ring can hold.", s.historyCapacity);
    e.Family("verdalix_overview_cache_requests_total", "counter", "Overview requests, by whether the cache had them.");
    e.Sample(One("result", "hit"), static_cast<double>(overCacheHits.load()));
    e.Sample(One("result", "miss"), static_cast<double>(overCacheMisses.load()));
}

std::string JsonField(const char* key, const std::string& value)
{
    return JsonString(key) + ":" + value;
}

template <class T, class F>
std::string JsonArray(const std::vector<T>& items, F each)
{
    std::string out = "[";
    for (const T& item : items)
        out += (out.size() > 1 ? "," : "") + each(item);
    return out + "]";
}

std::string SeriesJson(const std::vector<ActivitySeries>& series)
{
    return JsonArray(series, [](const ActivitySeries& line) {
        return "{" + JsonField("name", JsonString(line.name)) + "," +
               JsonField("perSecond", JsonArray(line.perSecond, [](double v) { return JsonNumber(v); })) + "}";
    });
}

std::string SitesJson(const std::vector<SiteStatus>& sites)
{
    return JsonArray(sites, [](const SiteStatus& x) {
        return "{" + JsonField("name", JsonString(x.name)) + "," + JsonField("connected", JsonNumber(x.connected)) +
               "," + JsonField("accepted", JsonNumber(x.accepted)) + "," +
               JsonField("backlog", JsonNumber(x.memoryQueued)) + "," +
               JsonField("queueBytes", JsonNumber(static_cast<double>(x.queueBytes))) + "}";
    });
}

std::string StoresJson(const std::vector<StoreStatus>& stores)
{
    return JsonArray(stores, [](const StoreStatus& x) {
        return "{" + JsonField("number", JsonNumber(x.number)) + "," +
               JsonField("size", JsonNumber(static_cast<double>(x.size))) + "," +
               JsonField("position", JsonNumber(static_cast<double>(x.position))) + "," +
               JsonField("wraps", JsonNumber(x.wraps)) + "}";
    });
}

}  // namespace

std::string MetricsText()
{
    const ServerStatus status = CollectStatus();
    Exposition e;
    e.Single("verdalix_uptime_seconds", "gauge", "Seconds since the server started.",
             static_cast<double>(status.uptime));
    e.Single("verdalix_intake_paused", "gauge", "1 while the operator has paused intake.", status.paused ? 1 : 0);
    Articles(e);
    Peers(e, status);
    Sites(e, status);
    Connections(e, status);
    Storage(e, status);
    e.Single("verdalix_log_errors_total", "counter", "Log lines that report a failure.",
             static_cast<double>(LogErrorCount()));
    return e.Take();
}

std::string StatusJson()
{
    const ServerStatus s = CollectStatus();
    const HourActivity hour = LastHourActivity();
    std::string out = "{";
    out += JsonField("uptime", JsonNumber(static_cast<double>(s.uptime))) + ",";
    out +=
        JsonField("paused", s.paused ? "true" : "false") + "," + JsonField("reason", JsonString(s.pauseReason)) + ",";
    out += JsonField("connections", "{" + JsonField("readers", JsonNumber(s.readers)) + "," +
                                        JsonField("feeders", JsonNumber(s.feeders)) + "," +
                                        JsonField("outgoing", JsonNumber(s.outgoing)) + "," +
                                        JsonField("incoming", JsonNumber(s.connected)) + "," +
                                        JsonField("limit", JsonNumber(s.connectionLimit)) + "}") +
           ",";
    out += JsonField("articles", "{" + JsonField("accepted", JsonNumber(static_cast<double>(s.accepted))) + "," +
                                     JsonField("refused", JsonNumber(static_cast<double>(s.refused))) + "," +
                                     JsonField("rejected", JsonNumber(static_cast<double>(s.rejected))) + "}") +
           ",";
    out += JsonField("rates", "{" + JsonField("accepted", JsonNumber(s.rates.accepted)) + "," +
                                  JsonField("refused", JsonNumber(s.rates.refused)) + "," +
                                  JsonField("rejected", JsonNumber(s.rates.rejected)) + "}") +
           ",";
    out += JsonField("history", "{" + JsonField("entries", JsonNumber(s.historyEntries)) + "," +
                                    JsonField("capacity", JsonNumber(s.historyCapacity)) + "}") +
           ",";
    out += JsonField("stores", StoresJson(s.stores)) + "," + JsonField("sites", SitesJson(s.sites)) + ",";
    out += JsonField("activity", "{" + JsonField("step", JsonNumber(hour.stepSeconds)) + "," +
                                     JsonField("end", JsonNumber(static_cast<double>(hour.end))) + "," +
                                     JsonField("peersIn", SeriesJson(hour.peersIn)) + "," +
                                     JsonField("sitesOut", SeriesJson(hour.sitesOut)) + "}") +
           ",";
    out += JsonField("errors", JsonArray(RecentLogErrors(), [](const std::string& line) { return JsonString(line); }));
    return out + "}";
}

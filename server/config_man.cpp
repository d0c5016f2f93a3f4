#include "server/config_man.h"

#include "server/config.h"

namespace {

// Roff takes a backslash as an escape and a leading dot or quote as a request.
std::string Roff(std::string_view text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\''))
        out.insert(0, "\\&");
    return out;
}

constexpr const char* kHead = R"(.TH VERDALIX.CONF 5 "December 2026" "Verdalix 2.0" "File Formats"
.SH NAME
verdalix.conf \- configuration file of the Verdalix news server
.SH DESCRIPTION
The server reads
.I /etc/verdalix/verdalix.conf
(or the file named by
.BR VERDALIX_CONFIGFILE )
once at start-up. Each line is
.IB key " = " value ;
keys are matched without regard to case, the first of two equal keys wins,
a "#" in the first column starts a comment, and blanks at the end of a value
are kept. Unknown keys and numbers that are not whole numbers are logged at
start-up and reported by
.BR "verdalix \-check" ,
with the nearest known key for a misspelt one.
.SH KEYS
)";

constexpr const char* kTail = R"(.SH SEE ALSO
.BR verdalix (8),
.BR verdalix\-init.tcl (5)
)";

}  // namespace

std::string ConfigManPage()
{
    std::string page = kHead;
    for (const ConfigKeyInfo& info : ConfigKeys()) {
        page += ".TP\n.B " + Roff(info.name) + "\n";
        page += std::string("(") + (info.kind == ConfigKind::kNumber ? "number" : "text") +
                "; default: " + (info.defaultValue != nullptr ? Roff(info.defaultValue) : std::string("none")) + ")\n";
        page += Roff(info.text) + "\n";
    }
    page += kTail;
    return page;
}

#include "server/config_man.h"

#include <string>

#include <gtest/gtest.h>

#include "server/config.h"

namespace {

// Every key of the table is on the page with its kind and default, in the
// table's order, and roff's escapes are applied to what would break it.
TEST(ConfigManPage, EveryKeyWithItsKindAndDefault)
{
    const std::string page = ConfigManPage();
    ASSERT_TRUE(page.starts_with(".TH VERDALIX.CONF 5 ")) << page.substr(0, 80);
    size_t last = 0;
    for (const ConfigKeyInfo& info : ConfigKeys()) {
        const size_t at = page.find(".TP\n.B " + std::string(info.name) + "\n");
        ASSERT_NE(at, std::string::npos) << info.name;
        EXPECT_GT(at, last) << info.name << " out of the table's order";
        last = at;
        const std::string kind = info.kind == ConfigKind::kNumber ? "(number; default: " : "(text; default: ";
        EXPECT_EQ(page.compare(page.find('\n', page.find('\n', at) + 1) + 1, kind.size(), kind), 0) << info.name;
    }
    EXPECT_NE(page.find("(text; default: /var/log/verdalix)"), std::string::npos);
    EXPECT_NE(page.find("(text; default: \\&./control)"), std::string::npos);  // a leading dot is text
    EXPECT_TRUE(page.ends_with(".BR verdalix\\-init.tcl (5)\n"));
}

}  // namespace

#include "setup/link_policy.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

struct LinkCase {
    const char* url;
    LinkDecision expected;
};

class LinkPolicyTest : public ::testing::TestWithParam<LinkCase> {};

TEST_P(LinkPolicyTest, DecidesWhereTheLinkOpens) {
    EXPECT_EQ(decideLink(GetParam().url), GetParam().expected) << GetParam().url;
}

constexpr auto stay = LinkDecision::stayInView;
constexpr auto out = LinkDecision::openOutside;

INSTANTIATE_TEST_SUITE_P(
    Table, LinkPolicyTest,
    ::testing::Values(
        // The agent's own pages, on any port and scheme.
        LinkCase{"http://127.0.0.1:8787", stay}, LinkCase{"http://127.0.0.1:8787/about", stay},
        LinkCase{"http://localhost:8788/", stay}, LinkCase{"https://localhost/x?y#z", stay},
        LinkCase{"ws://127.0.0.1:9/", stay}, LinkCase{"http://127.0.0.1/", stay},
        // Hostless addresses stay.
        LinkCase{"about:blank", stay}, LinkCase{"data:text/html,<p>hi</p>", stay},
        LinkCase{"", stay}, LinkCase{"file:///tmp/x", stay}, LinkCase{"javascript:void(0)", stay},
        // Everything else goes out, other loopback forms included.
        LinkCase{"https://vantrel.example/help", out}, LinkCase{"http://[::1]:8787/", out},
        LinkCase{"http://127.0.0.2:8787/", out}, LinkCase{"http://localhost.:8787/", out},
        LinkCase{"http://LOCALHOST.example/", out}, LinkCase{"mailto:help@vantrel.example", stay},
        LinkCase{"http://user@evil.example/", out}, LinkCase{"http://127.0.0.1.evil.example/", out},
        // An address with an authority that the parser refuses is not taken for a hostless one.
        LinkCase{"http://exa mple.example/", out}));

}  // namespace
}  // namespace vantrel

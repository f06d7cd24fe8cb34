// Whether a change would shut the administrator's own SSH session out: the verdict on a new
// connection into the session's address, and the model of an address that the command lines
// change.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <set>

#include "console/cli/lockout.h"

using namespace zantor;
using namespace zantor::console::cli;

namespace {

// An SSH session from 192.0.2.7 into sshd on 10.0.0.5, port 22.
const platform::SshSessionEnd kSession{"10.0.0.5", 22, "192.0.2.7"};

FilterRecord Filter(const char* src, const char* srcMask, const char* dst, const char* dstMask,
                    std::uint32_t protocol, std::uint16_t dportLow, std::uint16_t dportHigh,
                    std::uint32_t flags = 0) {
    FilterRecord f;
    f.SrcAddr = StrToIP(src);
    f.SrcMask = StrToIP(srcMask);
    f.DstAddr = StrToIP(dst);
    f.DstMask = StrToIP(dstMask);
    f.dwProtocol = protocol;
    f.wDstPort = dportLow;
    f.wDstPortHighRange = dportHigh;
    f.dwFilterFlags = flags;
    return f;
}

// TCP to 10.0.0.5 on these destination ports, from anywhere.
FilterRecord TcpTo(std::uint16_t low, std::uint16_t high) {
    return Filter("0.0.0.0", "0.0.0.0", "10.0.0.5", "255.255.255.255", 6, low, high);
}

AddressFiltering Filtering(bool inDrop, std::vector<FilterRecord> in = {}, std::size_t unread = 0) {
    AddressFiltering a;
    a.address = "10.0.0.5";
    a.filtering = true;
    a.inDrop = inDrop;
    a.in = std::move(in);
    a.unreadIn = unread;
    return a;
}

struct Case {
    const char* name;
    platform::SshSessionEnd session;
    AddressFiltering state;
    SshVerdict verdict;
};

TEST(LockoutDecision, ANewConnectionIntoTheSessionsAddressAsTheEngineDecidesIt) {
    AddressFiltering off = Filtering(true);
    off.filtering = false;
    AddressFiltering withGlobals = Filtering(false);
    withGlobals.globals = (1u << 2) | (1u << 8) | (1u << 9);
    const Case cases[] = {
        {"filtering off", kSession, off, SshVerdict::kLetIn},
        {"input forwards", kSession, Filtering(false), SshVerdict::kLetIn},
        {"input drops", kSession, Filtering(true), SshVerdict::kDropped},
        {"input drops, a filter lets port 22 in", kSession, Filtering(true, {TcpTo(22, 22)}),
         SshVerdict::kLetIn},
        {"input drops, port 22 is in a range let in", kSession,
         Filtering(true, {TcpTo(80, 80), TcpTo(20, 30)}), SshVerdict::kLetIn},
        {"input drops, only port 80 is let in", kSession, Filtering(true, {TcpTo(80, 80)}),
         SshVerdict::kDropped},
        {"input drops, UDP port 22 is let in", kSession,
         Filtering(true, {Filter("0.0.0.0", "0.0.0.0", "10.0.0.5", "255.255.255.255", 17, 22, 22)}),
         SshVerdict::kDropped},
        {"input drops, the client's host is let in", kSession,
         Filtering(true, {Filter("192.0.2.7", "255.255.255.255", "0.0.0.0", "0.0.0.0", 0, 0, 0)}),
         SshVerdict::kLetIn},
        {"input drops, another network is let in", kSession,
         Filtering(true, {Filter("192.0.3.0", "255.255.255.0", "0.0.0.0", "0.0.0.0", 0, 0, 0)}),
         SshVerdict::kDropped},
        // No SYN matches segments of connections under way alone, never the one that opens one.
        {"input drops, port 22 is let in without SYN", kSession,
         Filtering(true,
                   {Filter("0.0.0.0", "0.0.0.0", "10.0.0.5", "255.255.255.255", 6, 22, 22, 1)}),
         SshVerdict::kDropped},
        {"input forwards, a filter drops port 22", kSession, Filtering(false, {TcpTo(22, 22)}),
         SshVerdict::kDropped},
        {"input forwards, a filter drops port 22 from another network", kSession,
         Filtering(false,
                   {Filter("10.9.0.0", "255.255.0.0", "10.0.0.5", "255.255.255.255", 6, 22, 22)}),
         SshVerdict::kLetIn},
        {"input forwards with every global filter", kSession, withGlobals, SshVerdict::kLetIn},
        {"sshd on port 2222, only 22 let in",
         {"10.0.0.5", 2222, "192.0.2.7"},
         Filtering(true, {TcpTo(22, 22)}),
         SshVerdict::kDropped},
        {"the session came in through another address",
         {"192.168.1.20", 22, "192.0.2.7"},
         Filtering(true),
         SshVerdict::kLetIn},
        {"the session is IPv6", {"fd00::5", 22, "fd00::7"}, Filtering(true), SshVerdict::kLetIn},
        {"the session is IPv4 on a socket of both families",
         {"::ffff:10.0.0.5", 22, "::FFFF:192.0.2.7"},
         Filtering(true),
         SshVerdict::kDropped},
        {"the session end is no address",
         {"sshd", 22, "192.0.2.7"},
         Filtering(true),
         SshVerdict::kLetIn},
        // Filters that could not be read may decide either way, unless a known one has.
        {"input drops, filters unread", kSession, Filtering(true, {}, 2),
         SshVerdict::kMayBeDropped},
        {"input forwards, filters unread", kSession, Filtering(false, {}, 1),
         SshVerdict::kMayBeDropped},
        {"input drops, port 22 let in and filters unread", kSession,
         Filtering(true, {TcpTo(22, 22)}, 3), SshVerdict::kLetIn},
        {"input forwards, port 22 dropped and filters unread", kSession,
         Filtering(false, {TcpTo(22, 22)}, 3), SshVerdict::kDropped},
    };
    for (const Case& c : cases)
        EXPECT_EQ(NewSshConnection(c.session, c.state), c.verdict) << c.name;
}

// The address after each line, as the service leaves it.
TEST(LockoutModel, CommandLinesChangeTheAddressAsTheServiceDoes) {
    AddressFiltering a;
    a.address = "10.0.0.5";
    a.unreadIn = 1;  // a filter kept while filtering is off
    const std::string port22 = "0 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 22 0 22";
    const std::string port80 = "0 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 80 0 80";

    ApplyLine(a, "sif 10.0.0.5 in " + port22);
    EXPECT_TRUE(a.in.empty()) << "an address that does not filter takes no filter";
    ApplyLine(a, "staf 10.0.0.5 2 0");
    EXPECT_FALSE(a.filtering) << "the driver knows forward and drop alone";
    ApplyLine(a, "staf 10.0.0.05x 1 0");
    ApplyLine(a, "staf 192.168.1.20 1 0");
    EXPECT_FALSE(a.filtering) << "lines for other addresses, or none";
    ApplyLine(a, "staf 10.0.0.5 1 0");
    EXPECT_TRUE(a.filtering);
    EXPECT_TRUE(a.inDrop);
    EXPECT_EQ(a.unreadIn, 1u) << "the kept filter is bound again";
    ApplyLine(a, "staf 10.0.0.5 0 0");
    EXPECT_TRUE(a.inDrop) << "filtering is on already";

    ApplyLine(a, "sif 10.0.0.5 in " + port22);
    ApplyLine(a, "sif 10.0.0.5 in " + port22);
    ApplyLine(a, "sif 10.0.0.5 out " + port80);
    ApplyLine(a, "sif 10.0.0.5 in 0 0 0 300.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 6 0 0 80 0 80");
    ApplyLine(a, "sif 10.0.0.5 in " + port80);
    ASSERT_EQ(a.in.size(), 2u) << "a filter the list holds already, an output filter and a broken "
                                  "one add nothing";
    EXPECT_EQ(a.in[0].wDstPort, 22);
    // Positions count the kept filter first: it is the oldest.
    ApplyLine(a, "rif 10.0.0.5 in 1");
    ASSERT_EQ(a.in.size(), 1u);
    EXPECT_EQ(a.in[0].wDstPort, 80);
    ApplyLine(a, "rif 10.0.0.5 in 0");
    EXPECT_EQ(a.unreadIn, 0u);
    ApplyLine(a, "rif 10.0.0.5 in 7");
    ApplyLine(a, "rif 10.0.0.5 out 0");
    EXPECT_EQ(a.in.size(), 1u);

    ApplyLine(a, "sig 10.0.0.5 8");
    ApplyLine(a, "sig 10.0.0.5 5");
    ApplyLine(a, "sig 10.0.0.5 2");
    ApplyLine(a, "rig 10.0.0.5 2");
    EXPECT_EQ(a.globals, 1u << 8);

    ApplyLine(a, "df 10.0.0.5");
    EXPECT_EQ(a.in.size(), 1u) << "the filters of an address that filters are not dropped";
    ApplyLine(a, "stof 10.0.0.5");
    EXPECT_FALSE(a.filtering);
    EXPECT_EQ(a.in.size(), 1u) << "stopping keeps the filters";
    ApplyLine(a, "staf 10.0.0.5 0 1");
    EXPECT_EQ(a.globals, 0u) << "a new start binds no global filter";
    EXPECT_EQ(a.in.size(), 1u);
    ApplyLine(a, "stof 10.0.0.5");
    ApplyLine(a, "df 10.0.0.5");
    EXPECT_TRUE(a.in.empty());
}

// A restore that drops input but lets SSH in, then one that forgets to.
TEST(LockoutModel, ARestoreIsJudgedByWhereItEnds) {
    AddressFiltering a = Filtering(false, {TcpTo(22, 22)});
    const std::vector<std::string> letsSshIn = {
        "stof 10.0.0.5", "df 10.0.0.5", "staf 10.0.0.5 1 0",
        "sif 10.0.0.5 in 0 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 22 0 22"};
    ASSERT_EQ(NewSshConnection(kSession, a), SshVerdict::kDropped);
    AddressFiltering restored = a;
    for (const std::string& line : letsSshIn) ApplyLine(restored, line);
    EXPECT_EQ(NewSshConnection(kSession, restored), SshVerdict::kLetIn);
    restored = a;
    for (std::size_t i = 0; i < 3; ++i) ApplyLine(restored, letsSshIn[i]);
    EXPECT_EQ(NewSshConnection(kSession, restored), SshVerdict::kDropped);
}

// Where zadmin cannot tell its session's way in, any client may be the session's: the clients
// tried stand for every group of clients that the filters' sources tell apart.
TEST(LockoutAnyClient, OneClientOfEachGroupTheFiltersTellApart) {
    std::mt19937 random(23);
    auto address = [&] { return static_cast<IPAddr>(random()); };
    auto prefix = [&](int length) {
        const std::uint32_t bits = length == 0 ? 0 : ~std::uint32_t{0} << (32 - length);
        return MakeIP(static_cast<std::uint8_t>(bits >> 24), static_cast<std::uint8_t>(bits >> 16),
                      static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits));
    };
    // Which filters a client's address matches by source.
    auto matched = [](const std::vector<FilterRecord>& filters, IPAddr client) {
        std::vector<bool> which;
        for (const FilterRecord& f : filters)
            which.push_back((client & f.SrcMask) == (f.SrcAddr & f.SrcMask));
        return which;
    };
    for (int round = 0; round < 200; ++round) {
        std::vector<FilterRecord> filters;
        std::vector<IPAddr> probes;
        const int count = static_cast<int>(random() % 8);
        for (int i = 0; i < count; ++i) {
            FilterRecord f;
            // Networks inside each other and side by side, hosts, everything, and now and then
            // a mask that is no prefix.
            f.SrcAddr =
                i > 0 && random() % 2 ? filters[random() % filters.size()].SrcAddr : address();
            f.SrcMask = random() % 6 == 0 ? address() : prefix(static_cast<int>(random() % 33));
            filters.push_back(f);
            probes.insert(probes.end(), {f.SrcAddr, f.SrcAddr ^ 1, f.SrcAddr & f.SrcMask,
                                         f.SrcAddr | ~f.SrcMask, f.SrcAddr ^ ~f.SrcMask});
        }
        for (int i = 0; i < 50; ++i) probes.push_back(address());
        const std::optional<std::vector<IPAddr>> clients = ClientsToTry(filters);
        ASSERT_TRUE(clients);
        std::set<std::vector<bool>> groups;
        for (IPAddr c : *clients) groups.insert(matched(filters, c));
        EXPECT_EQ(groups.size(), clients->size()) << "one client per group";
        for (IPAddr probe : probes)
            EXPECT_TRUE(groups.contains(matched(filters, probe)))
                << "round " << round << ": " << IPToStr(probe) << " stands for no group tried";
    }
    // No filter, or none that looks at the source: any one client will do.
    EXPECT_EQ(ClientsToTry({}), std::vector<IPAddr>{0});
    EXPECT_EQ(ClientsToTry({TcpTo(22, 22)}), std::vector<IPAddr>{0});
    // Masks that tell too many groups apart are no list of clients.
    std::vector<FilterRecord> bits;
    for (int i = 0; i < 13; ++i) {
        FilterRecord f;
        f.SrcMask = MakeIP(0, 0, static_cast<std::uint8_t>(i < 8 ? 1 << i : 0),
                           static_cast<std::uint8_t>(i < 8 ? 0 : 1 << (i - 8)));
        bits.push_back(f);
    }
    EXPECT_FALSE(ClientsToTry(bits));
    EXPECT_TRUE(ClientsToTry(bits, 1 << 13));
}

TEST(LockoutAnyClient, AChangeThatDropsSomeClientsNewSshConnections) {
    const FilterRecord adminsIn =
        Filter("10.1.0.0", "255.255.0.0", "10.0.0.5", "255.255.255.255", 6, 22, 22);
    const FilterRecord officeIn =
        Filter("192.0.2.0", "255.255.255.0", "10.0.0.5", "255.255.255.255", 6, 22, 22);
    const std::vector<int> port22{22};
    struct Change {
        const char* name;
        AddressFiltering before, after;
        std::vector<int> ports;
        std::optional<IPAddr> client;
        std::optional<std::string> dropped;  // the client whose connection is dropped, "" any
    };
    AddressFiltering off = Filtering(true);
    off.filtering = false;
    const Change cases[] = {
        {"input dropped", Filtering(false), Filtering(true), port22, {}, "0.0.0.0"},
        {"input dropped, not for the office",
         Filtering(false),
         Filtering(true, {officeIn}),
         port22,
         {},
         "0.0.0.0"},
        {"the office's filter deleted",
         Filtering(true, {adminsIn, officeIn}),
         Filtering(true, {adminsIn}),
         port22,
         {},
         "192.0.2.0"},
        {"a filter for port 80 added",
         Filtering(true, {adminsIn}),
         Filtering(true, {adminsIn, TcpTo(80, 80)}),
         port22,
         {},
         std::nullopt},
        {"dropped already",
         Filtering(true),
         Filtering(true, {TcpTo(80, 80)}),
         port22,
         {},
         std::nullopt},
        {"filtering started with input forwarded", off, Filtering(false), port22, {}, std::nullopt},
        {"sshd's other port",
         Filtering(false),
         Filtering(true, {TcpTo(22, 22)}),
         {22, 2222},
         {},
         "0.0.0.0"},
        {"unread filters may drop",
         Filtering(false),
         Filtering(true, {}, 1),
         port22,
         {},
         "0.0.0.0"},
        // The login records name the client: only its connections count.
        {"the office's filter deleted, a client of the admins' network",
         Filtering(true, {adminsIn, officeIn}), Filtering(true, {adminsIn}), port22,
         StrToIP("10.1.2.3"), std::nullopt},
        {"the office's filter deleted, a client of the office",
         Filtering(true, {adminsIn, officeIn}), Filtering(true, {adminsIn}), port22,
         StrToIP("192.0.2.9"), "192.0.2.9"},
    };
    for (const Change& c : cases) {
        SCOPED_TRACE(c.name);
        const auto end = NewlyDroppedSshConnection(c.before, c.after, c.ports, c.client);
        ASSERT_EQ(end.has_value(), c.dropped.has_value());
        if (!end) continue;
        EXPECT_EQ(end->clientAddress, *c.dropped);
        EXPECT_EQ(end->address, "10.0.0.5");
        EXPECT_EQ(end->port, c.name == std::string("sshd's other port") ? 2222 : 22);
    }
}

}  // namespace

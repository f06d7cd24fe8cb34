#include "platform/linux/pf/pf_counters.h"

#include <endian.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

namespace platform::pf {

namespace {

// A dump the kernel keeps marking interrupted is a ruleset that never stops changing.
constexpr int kAttempts = 16;
// The kernel fills a dump's messages up to 32 KiB at a time.
constexpr std::size_t kReceiveSize = 64 * 1024;

void PutAttribute(std::vector<std::uint8_t>& message, std::uint16_t type, const void* data,
                  std::size_t size) {
    nlattr head{};
    head.nla_len = static_cast<std::uint16_t>(NLA_HDRLEN + size);
    head.nla_type = type;
    const std::size_t at = message.size();
    message.resize(at + NLA_ALIGN(head.nla_len), 0);
    std::memcpy(message.data() + at, &head, sizeof head);
    std::memcpy(message.data() + at + NLA_HDRLEN, data, size);
}

// Calls `each(type, payload, size)` for every attribute in [at, end).
template <class Each>
void ForEachAttribute(const std::uint8_t* at, const std::uint8_t* end, Each each) {
    while (end - at >= static_cast<std::ptrdiff_t>(NLA_HDRLEN)) {
        nlattr head;
        std::memcpy(&head, at, sizeof head);
        if (head.nla_len < NLA_HDRLEN || head.nla_len > end - at) return;
        each(head.nla_type & NLA_TYPE_MASK, at + NLA_HDRLEN,
             static_cast<std::size_t>(head.nla_len - NLA_HDRLEN));
        at += NLA_ALIGN(head.nla_len);
    }
}

Win32Error Errno(int err, const char* what, std::string* why) {
    if (why) *why = std::string(what) + ": " + std::strerror(err);
    return Fail(ErrorFromErrno(err));
}

}  // namespace

Win32Error CounterReader::Open(std::string* why) {
    socket_ = posix::UniqueFd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER));
    if (!socket_) return Errno(errno, "netlink socket", why);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    if (::bind(socket_.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        const int err = errno;
        socket_.Reset();
        return Errno(err, "netlink bind", why);
    }
    return kErrorSuccess;
}

namespace {

// The packets of a counter expression: NFTA_EXPR_NAME "counter" and its data.
bool CounterPackets(const std::uint8_t* at, std::size_t size, std::uint64_t& packets) {
    bool counter = false, found = false;
    ForEachAttribute(at, at + size, [&](int type, const std::uint8_t* data, std::size_t n) {
        if (type == NFTA_EXPR_NAME)
            counter =
                std::string_view(reinterpret_cast<const char*>(data),
                                 strnlen(reinterpret_cast<const char*>(data), n)) == "counter";
        else if (type == NFTA_EXPR_DATA)
            ForEachAttribute(data, data + n, [&](int c, const std::uint8_t* v, std::size_t vn) {
                if (c == NFTA_COUNTER_PACKETS && vn == 8) {
                    std::uint64_t be;
                    std::memcpy(&be, v, 8);
                    packets = be64toh(be);
                    found = true;
                }
            });
    });
    return counter && found;
}

// A key as its set's text writes it ("10.1.0.0 . 6 . 80") from the kernel's bytes: each field of
// a concatenation takes a multiple of 4 bytes, a key of one field its own size.
std::string KeyText(const std::string& type, const std::uint8_t* key, std::size_t size) {
    std::vector<std::string> fields;
    for (std::size_t at = 0; at <= type.size();) {
        std::size_t end = type.find(" . ", at);
        if (end == std::string::npos) end = type.size();
        fields.push_back(type.substr(at, end - at));
        at = end + 3;
    }
    std::string text;
    std::size_t offset = 0;
    for (const std::string& field : fields) {
        const std::size_t width = field == "ipv4_addr" ? 4 : field == "inet_service" ? 2 : 1;
        if (offset + width > size) return {};
        const std::uint8_t* v = key + offset;
        text += text.empty() ? "" : " . ";
        if (width == 4)
            text += std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) +
                    "." + std::to_string(v[3]);
        else if (width == 2)
            text += std::to_string(v[0] << 8 | v[1]);
        else
            text += std::to_string(v[0]);
        offset += fields.size() > 1 ? (width + 3) / 4 * 4 : width;
    }
    return text;
}

}  // namespace

Win32Error CounterReader::Dump(
    std::uint16_t message, const std::vector<std::uint8_t>& attributes,
    const std::function<void(const std::uint8_t*, const std::uint8_t*)>& each, std::string* why) {
    if (!socket_) {
        if (why) *why = "the netlink socket is not open";
        return Fail(kErrorInvalidHandle);
    }
    std::vector<std::uint8_t> buffer(kReceiveSize);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::vector<std::vector<std::uint8_t>> messages;  // kept until the dump is whole
        const std::uint32_t sequence = ++sequence_;
        std::vector<std::uint8_t> request(NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(nfgenmsg)), 0);
        nfgenmsg family{};
        family.nfgen_family = NFPROTO_IPV4;
        family.version = NFNETLINK_V0;
        std::memcpy(request.data() + NLMSG_HDRLEN, &family, sizeof family);
        request.insert(request.end(), attributes.begin(), attributes.end());
        nlmsghdr head{};
        head.nlmsg_len = static_cast<std::uint32_t>(request.size());
        head.nlmsg_type = static_cast<std::uint16_t>((NFNL_SUBSYS_NFTABLES << 8) | message);
        head.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        head.nlmsg_seq = sequence;
        std::memcpy(request.data(), &head, sizeof head);
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (::sendto(socket_.Get(), request.data(), request.size(), 0,
                     reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
            return Errno(errno, "netlink send", why);

        bool done = false, interrupted = false;
        while (!done) {
            const ssize_t got = ::recv(socket_.Get(), buffer.data(), buffer.size(), 0);
            if (got < 0) {
                if (errno == EINTR) continue;
                return Errno(errno, "netlink receive", why);
            }
            std::size_t left = static_cast<std::size_t>(got);
            for (auto* m = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(m, left);
                 m = NLMSG_NEXT(m, left)) {
                if (m->nlmsg_seq != sequence) continue;  // an answer to an earlier request
                if (m->nlmsg_flags & NLM_F_DUMP_INTR) interrupted = true;
                if (m->nlmsg_type == NLMSG_DONE) {
                    done = true;
                    break;
                }
                if (m->nlmsg_type == NLMSG_ERROR) {
                    nlmsgerr error{};
                    std::memcpy(&error, NLMSG_DATA(m),
                                std::min<std::size_t>(sizeof error, m->nlmsg_len - NLMSG_HDRLEN));
                    if (error.error == 0) continue;
                    if (error.error == -ENOENT) return kErrorSuccess;  // no such table or set
                    return Errno(-error.error, "nftables dump", why);
                }
                const auto* begin = reinterpret_cast<const std::uint8_t*>(m);
                messages.emplace_back(begin, begin + m->nlmsg_len);
            }
        }
        if (interrupted) continue;
        for (const auto& m : messages) {
            const auto* nh = reinterpret_cast<const nlmsghdr*>(m.data());
            if ((nh->nlmsg_type & 0xFF) == 0 || nh->nlmsg_len < NLMSG_HDRLEN + sizeof(nfgenmsg))
                continue;
            each(m.data() + NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(nfgenmsg)), m.data() + m.size());
        }
        return kErrorSuccess;
    }
    const Win32Error busy = Fail(ErrorFromErrno(EBUSY));
    if (why) *why = "the ruleset kept changing while its counters were read";
    return busy;
}

Win32Error CounterReader::Read(const std::string& table,
                               std::unordered_map<std::string, std::uint64_t>& packets,
                               std::string* why) {
    packets.clear();
    std::vector<std::uint8_t> attributes;
    PutAttribute(attributes, NFTA_OBJ_TABLE, table.c_str(), table.size() + 1);
    const std::uint32_t type = htobe32(NFT_OBJECT_COUNTER);
    PutAttribute(attributes, NFTA_OBJ_TYPE, &type, sizeof type);
    return Dump(
        NFT_MSG_GETOBJ, attributes,
        [&](const std::uint8_t* begin, const std::uint8_t* end) {
            std::string name;
            std::uint64_t count = 0;
            ForEachAttribute(begin, end, [&](int t, const std::uint8_t* data, std::size_t n) {
                if (t == NFTA_OBJ_NAME)
                    name.assign(reinterpret_cast<const char*>(data),
                                strnlen(reinterpret_cast<const char*>(data), n));
                else if (t == NFTA_OBJ_DATA)
                    ForEachAttribute(data, data + n,
                                     [&](int c, const std::uint8_t* v, std::size_t vn) {
                                         if (c == NFTA_COUNTER_PACKETS && vn == 8) {
                                             std::uint64_t be;
                                             std::memcpy(&be, v, 8);
                                             count = be64toh(be);
                                         }
                                     });
            });
            if (!name.empty()) packets[name] = count;
        },
        why);
}

Win32Error CounterReader::ReadElements(const std::string& table, const std::string& set,
                                       const std::string& type,
                                       std::unordered_map<std::string, std::uint64_t>& packets,
                                       std::string* why) {
    std::vector<std::uint8_t> attributes;
    PutAttribute(attributes, NFTA_SET_ELEM_LIST_TABLE, table.c_str(), table.size() + 1);
    PutAttribute(attributes, NFTA_SET_ELEM_LIST_SET, set.c_str(), set.size() + 1);
    return Dump(
        NFT_MSG_GETSETELEM, attributes,
        [&](const std::uint8_t* begin, const std::uint8_t* end) {
            ForEachAttribute(begin, end, [&](int t, const std::uint8_t* list, std::size_t n) {
                if (t != NFTA_SET_ELEM_LIST_ELEMENTS) return;
                ForEachAttribute(
                    list, list + n, [&](int, const std::uint8_t* element, std::size_t en) {
                        std::string key;
                        std::uint64_t count = 0;
                        bool counted = false;
                        ForEachAttribute(
                            element, element + en,
                            [&](int e, const std::uint8_t* v, std::size_t vn) {
                                if (e == NFTA_SET_ELEM_KEY)
                                    ForEachAttribute(
                                        v, v + vn,
                                        [&](int k, const std::uint8_t* kv, std::size_t kn) {
                                            if (k == NFTA_DATA_VALUE) key = KeyText(type, kv, kn);
                                        });
                                else if (e == NFTA_SET_ELEM_EXPR)
                                    counted = CounterPackets(v, vn, count);
                                else if (e == NFTA_SET_ELEM_EXPRESSIONS)
                                    ForEachAttribute(
                                        v, v + vn, [&](int, const std::uint8_t* x, std::size_t xn) {
                                            counted = counted || CounterPackets(x, xn, count);
                                        });
                            });
                        if (!key.empty() && counted) packets[key] = count;
                    });
            });
        },
        why);
}

Win32Error CounterReader::ReadRules(const std::string& table,
                                    std::unordered_map<std::string, Rule>& rules,
                                    std::string* why) {
    rules.clear();
    std::vector<std::uint8_t> attributes;
    PutAttribute(attributes, NFTA_RULE_TABLE, table.c_str(), table.size() + 1);
    return Dump(
        NFT_MSG_GETRULE, attributes,
        [&](const std::uint8_t* begin, const std::uint8_t* end) {
            std::string comment;
            Rule rule;
            ForEachAttribute(begin, end, [&](int t, const std::uint8_t* data, std::size_t n) {
                if (t == NFTA_RULE_HANDLE && n == 8) {
                    std::uint64_t be;
                    std::memcpy(&be, data, 8);
                    rule.handle = be64toh(be);
                } else if (t == NFTA_RULE_EXPRESSIONS) {
                    ForEachAttribute(data, data + n,
                                     [&](int, const std::uint8_t* x, std::size_t xn) {
                                         CounterPackets(x, xn, rule.packets);
                                     });
                } else if (t == NFTA_RULE_USERDATA) {
                    // Type-length-value records; type 0 is the comment, with its final NUL.
                    for (std::size_t at = 0; at + 2 <= n;) {
                        const std::size_t length = data[at + 1];
                        if (at + 2 + length > n) break;
                        if (data[at] == 0)
                            comment.assign(
                                reinterpret_cast<const char*>(data + at + 2),
                                strnlen(reinterpret_cast<const char*>(data + at + 2), length));
                        at += 2 + length;
                    }
                }
            });
            if (!comment.empty()) rules[comment] = rule;
        },
        why);
}

}  // namespace platform::pf

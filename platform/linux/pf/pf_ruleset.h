// The kernel backend's picture of the configuration and the nftables text that puts it into the
// kernel: the whole table, and the few commands of each change. Internal to the driver; it runs
// nothing itself (pf_kernel.cpp hands the text to the kernel).
//
// The text is built only from the compiled model: handles, addresses, masks, ports and protocol
// numbers. Nothing a client wrote reaches it.
//
// The table `ip zantor`:
//   pre      hook prerouting, priority -450 (raw fragments, before any reassembly):
//              iif lo accept; [anti-lockout: an unfragmented TCP packet to an sshd port on
//              one of the host's own addresses goes on to antilockout_pre]; strong host per
//              device (spoofmap); fragment checks (fragmap); the interfaces decided per
//              fragment (premap)
//   input    hook input: iif lo accept; [anti-lockout: TCP to an sshd port of an established
//              session goes through (antilockout_session)]; the interfaces with the fragment
//              cache (inmap)
//   output   hook output: oif lo accept; [anti-lockout: TCP from an sshd port goes to
//              antilockout_out]; every interface's output (outmap)
//   iN_in, iN_out  one interface: jump iN_in_a (filters that read no transport header), then a
//                  packet without its transport header (a later fragment, a first fragment too
//                  short for it) takes the default, then jump iN_in_t (filters that read it),
//                  then the default
//   iN_*_a, iN_*_t the filters: one lookup rule per set ("shape"); one verdict-map rule per
//                  mask of the addresses rules name, cut to at most /24 (iN_*_vK: the packet's
//                  address under it jumps to the chain iN_*_vK_NETWORK of the rules naming an
//                  address there, so a packet passes only the rules of its own networks); then
//                  the rules that name no address
//   iN_frag        the fragment checks of one interface
//   dD_spoof       strong host on device D: a destination that is no interface's bound address
//                  on D is dropped
//   antilockout_ports    the set of sshd's ports (the anti-lockout rule, platform/pf.h)
//   antilockout_pre      hook prerouting, priority -150: after connection tracking (-200), before
//                        destination NAT (-100); the packets pre left to it (matched by the same
//                        words) jump to antilockout_in
//   antilockout_in       antilockout_session; else what pre skipped: strong host (spoofmap),
//                        then the interfaces of premap
//   antilockout_session  the peer's packets of an established session into the host, not
//                        rewritten by a destination NAT: of the connection's original
//                        direction, or of one labelled as taken up (below); accepted
//   antilockout_out      the host's packets of such a session: of the reply direction, or
//                        labelled; a segment without SYN on a connection tracking has not seen
//                        (a session opened while no table was in force) is accepted and labels
//                        it as taken up. A SYN, and anything else, meets the filters.
// Filters of one direction all end in the same verdict (the opposite of the default), so their
// order does not matter and a set lookup stands for any number of them.
//
// Counters. Every count of the statistics belongs to what it counts, not to a rule that happens
// to hold it, so that no change of other filters, addresses or global filters resets it. The
// counts are of packets: the filters are stateless.
//   - A set element: the sets carry a counter per element ("counter" in the set's
//     declaration), which an element keeps until it is deleted. Filters of one interface and
//     direction whose keys are the same share the element, and so its count: each reports
//     every packet of it.
//   - Filter H held as a rule of its own: the rule's own counter, and the comment "iN_fH" that
//     names it. A removal deletes rules by their handles (found by their comments), so the
//     rules beside them keep theirs.
//   - The interface's own counts are named counter objects that its rules name, so a chain
//     written again (the strong-host chain of a device) keeps them:
//       iN_in_drops, iN_out_drops   the default action's drops (counted only where it drops)
//       iN_frag        the fragments the checks of iN_frag drop
//       iN_spoof       the spoofs of a device's strong-host chain that this interface names
//     Objects are few on purpose: libnftables reads every object of the table before each
//     change, so one per set element would make every change cost as much as thousands.
// The sets and objects are made when the interface is bound (or the whole table written) and
// deleted when it is unbound or deleted, with its filters when they go: unbinding starts every
// count of the interface again from zero, and so does a new table (a restart). The
// anti-lockout rules are written with the whole table and never change: a change sends the same
// commands with them as without.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/pf.h"
#include "platform/pf_index.h"

namespace platform::pf {

inline constexpr const char* kKernelTable = "zantor";

// Where the kernel holds one filter.
struct Placement {
    enum Kind : std::uint8_t {
        kNowhere,  // it can match no packet (SYN test on another protocol, an ICMP type above 255)
        kElement,  // an element of the set of its shape
        kRule,     // a rule of its own: port or type ranges, a rule number, or nothing to key on
    };
    Kind kind = kNowhere;
    bool transport = false;  // reads the transport header: lives in the *_t chain
    std::string shape;       // kElement: the lookup's key expression, "ip saddr & M . th dport"
    std::string setType;     // kElement: the set's key type, "ipv4_addr . inet_service"
    std::string element;     // kElement: the filter's key, "10.1.0.0 . 80"
    std::string match;       // kRule: the rule's match, "ip saddr 10.0.0.1 th dport 1-99"
    // kRule: the network (at most /24) that groups it with the rules naming an address in it,
    // of the far side's address, else of the near side's: the map's key expression
    // ("ip saddr & 255.255.255.0") and the key ("10.1.0.0"); empty for a rule that names none.
    std::string group;
    std::string groupKey;
};

// `direction` says which address is the far side's, the one a rule is grouped by first: the
// source of input, the destination of output.
Placement PlaceFilter(const Rule& rule, PacketDirection direction = PacketDirection::kInput);

// The log prefix of a drop, which carries what nflog has no field for: "zantor NAME TYPE RULE".
std::string LogPrefix(DWORD interfaceName, PFFRAMETYPE type, DWORD rule);
// False for a prefix that is not one of ours.
bool ParseLogPrefix(std::string_view prefix, DWORD& interfaceName, PFFRAMETYPE& type, DWORD& rule);

class KernelRuleset {
  public:
    // Undoes the model changes of a change the kernel refused.
    class Journal {
      public:
        void Add(std::function<void()> undo) { undo_.push_back(std::move(undo)); }
        void Revert();

      private:
        std::vector<std::function<void()>> undo_;
    };

    // `antiLockoutPorts`: sshd's ports for the anti-lockout rules; none leaves them out.
    // `counters`: off leaves every counter out (the benchmarks' measure of what they cost).
    explicit KernelRuleset(std::uint16_t logGroup, std::vector<std::uint16_t> antiLockoutPorts = {},
                           bool counters = true)
        : logGroup_(logGroup),
          antiLockoutPorts_(std::move(antiLockoutPorts)),
          counters_(counters) {}

    // Each change records itself in the model and the journal and appends its commands to
    // `text` (nothing while the interface is not bound). The caller checks handles first. The
    // interface records are the engine's: a change that alters one is given the record as the
    // engine holds it after the change, and the model keeps it as the kernel was told it.
    void CreateInterface(const InterfaceRecord& record, Journal& journal);
    void DeleteInterface(INTERFACE_HANDLE h, std::string& text, Journal& journal);
    // `record` is bound; `device`: the index of the device holding its address, 0 when none does.
    void Bind(const InterfaceRecord& record, std::uint32_t device, std::string& text,
              Journal& journal);
    void Unbind(INTERFACE_HANDLE h, std::string& text, Journal& journal);
    void AddFilter(INTERFACE_HANDLE h, PacketDirection direction, FILTER_HANDLE f, const Rule& rule,
                   std::string& text, Journal& journal);
    // `handles`: the kernel's handles of the table's rules by their comments (RuleComment), so
    // that rules go one by one and the others keep their counts; without them (or one missing)
    // the chains that lose a rule are written again.
    void RemoveFilters(INTERFACE_HANDLE h, std::span<const FILTER_HANDLE> filters,
                       std::string& text, Journal& journal,
                       const std::map<std::string, std::uint64_t>* handles = nullptr);
    // Whether a removal of these filters takes rules out of the kernel (and so wants handles).
    bool RemovesRules(INTERFACE_HANDLE h, std::span<const FILTER_HANDLE> filters) const;
    // `record` has the global filters that are on now.
    void SetGlobals(const InterfaceRecord& record, std::string& text, Journal& journal);
    // Turning the fragment cache off moves an address's input from the input hook to prerouting.
    // In one transaction a packet that passed prerouting before it and reaches input after it
    // would meet neither; so the address is first added at prerouting too (`add`; a packet in
    // between then meets both, and is counted twice), and SetGlobals then takes it from input.
    // Empty where the interface of `h` is not bound or has no cache on. `add` false: the text
    // that takes the first step back, for a change the kernel refused.
    std::string InputAtPreroutingText(INTERFACE_HANDLE h, bool add) const;

    bool HasInterface(INTERFACE_HANDLE h) const { return interfaces_.count(h) != 0; }
    // The counters of a bound interface (empty names when it is not bound or counters are off).
    struct InterfaceCounters {
        std::string inDrops, outDrops, fragments, spoofs;
    };
    InterfaceCounters CountersOf(INTERFACE_HANDLE h) const;
    // What counts one filter of a bound interface: its rule, by the rule's comment, or the element
    // `element` (as text) of the set `set` of type `type`; all empty when nothing counts it (one
    // that can match no packet, an interface that is not bound).
    struct FilterCounter {
        std::string counter, set, type, element;
    };
    FilterCounter CounterOf(INTERFACE_HANDLE h, FILTER_HANDLE f) const;
    bool IsBound(INTERFACE_HANDLE h) const;
    // True when every handle is a filter of the interface.
    bool HasFilters(INTERFACE_HANDLE h, std::span<const FILTER_HANDLE> filters) const;

    // One transaction that replaces whatever table is there (one of an earlier run included)
    // with the model, so no packet ever meets a half-written table.
    std::string WholeTable() const;
    static std::string RemoveTable();

  private:
    struct Element {
        std::uint32_t filters = 0;  // how many filters hold it
    };
    struct Shape {
        std::string match;
        std::string type;
        bool transport = false;
        std::uint32_t number = 0;
        std::map<std::string, Element> elements;  // by key text
    };
    struct Filter {
        std::uint8_t direction = 0;
        Placement placement;
        DWORD rule = 0;
        std::string counter;  // kRule: the counter that counts it
    };
    // A verdict map of one chain (_a or _t) on one address expression, and the chains of rules
    // its keys jump to.
    struct GroupMap {
        bool transport = false;
        std::uint32_t number = 0;
        std::map<std::string, std::uint32_t> keys;  // network: how many rules name it
    };
    struct Direction {
        std::map<std::string, Shape> shapes;  // by key expression
        std::uint32_t nextShape = 1;
        std::map<std::pair<bool, std::string>, GroupMap> maps;  // by transport, key expression
        std::uint32_t nextMap = 1;
    };
    // The engine's record, and where the kernel holds the interface's rules.
    struct Interface : InterfaceRecord {
        std::uint32_t device = 0;
        Direction directions[2];
        std::map<FILTER_HANDLE, Filter> filters;  // handle order: the text is the same each time
    };

    std::string Name(const Interface& itf) const;
    std::string FilterVerdict(const Interface& itf, int d, DWORD rule) const;
    std::string DefaultVerdict(const Interface& itf, int d) const;
    // The verdict of a rule filter's own rule, with its counter.
    std::string RuleVerdict(const Interface& itf, int d, const Filter& filter) const;
    // "counter name "NAME" " where counters are on, else nothing.
    std::string Count(const std::string& counter) const;
    void AddCounter(const std::string& counter, std::string& text) const;
    void DeleteCounter(const std::string& counter, std::string& text) const;
    // The interface's own counters (drops, fragments, spoofs).
    std::vector<std::string> OwnCounters(const Interface& itf) const;
    // The set of a shape: a map to counters where counters are on.
    std::string SetDeclaration(const std::string& set, const std::string& type) const;
    std::string DropVerdict(const Interface& itf, PFFRAMETYPE type) const;
    void InterfaceText(const Interface& itf, std::string& text) const;
    void FilterChainText(const Interface& itf, int d, bool transport, std::string& text) const;
    // The maps of one direction, the chains their keys jump to and those chains' rules.
    void GroupsText(const Interface& itf, int d, std::string& text) const;
    // The rules of one group's chain, in handle order.
    void GroupRulesText(const Interface& itf, int d, const Placement& p, const std::string& chain,
                        std::string& text) const;
    std::string MapName(const Interface& itf, int d, const GroupMap& map) const;
    static std::string GroupChain(const std::string& map, const std::string& key);
    void DispatchText(const Interface& itf, bool add, std::string& text) const;
    // The strong-host chain of a device as the model wants it, written where it differs from
    // what the kernel holds.
    void SyncSpoof(std::uint32_t device, std::string& text, Journal& journal);
    // The rules of its chain, one a line; empty when no interface on it asks for the check.
    std::string SpoofRules(std::uint32_t device) const;
    void SpoofChainText(std::uint32_t device, const std::string& rules, std::string& text) const;

    std::uint16_t logGroup_;
    std::vector<std::uint16_t> antiLockoutPorts_;
    std::map<INTERFACE_HANDLE, std::unique_ptr<Interface>> interfaces_;
    bool counters_;
    std::map<std::uint32_t, std::string> spoofWritten_;  // device: the rules of its chain
};

}  // namespace platform::pf

// The kernel backend's picture of the configuration and the nftables text that puts it into the
// kernel: the whole table, and the few commands of each change. Internal to the driver; it runs
// nothing itself (pf_kernel.cpp hands the text to the kernel).
//
// The text is built only from the compiled model: handles, addresses, masks, ports and protocol
// numbers. Nothing a client wrote reaches it.
//
// The table `ip zantor`:
//   pre      hook prerouting, priority -450 (raw fragments, before any reassembly):
//              iif lo accept; [anti-lockout: an unfragmented TCP packet to an sshd port goes
//              on to the input hook]; strong host per device (spoofmap); fragment checks
//              (fragmap); the interfaces decided per fragment (premap)
//   input    hook input: iif lo accept; [anti-lockout: TCP to an sshd port jumps to
//              antilockout_in]; the interfaces with the fragment cache (inmap)
//   output   hook output: oif lo accept; [anti-lockout: TCP from an sshd port that connection
//              tracking calls established or new is accepted]; every interface's output
//              (outmap)
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
//   antilockout_ports  the set of sshd's ports (the anti-lockout rule, platform/pf.h)
//   antilockout_in     established (connection tracking, which first knows a connection at
//                      priority -200, after pre): accepted; else what pre left to the input
//                      hook: strong host (spoofmap), then the interfaces of premap
// Filters of one direction all end in the same verdict (the opposite of the default), so their
// order does not matter and a set lookup stands for any number of them. The anti-lockout rules
// are written with the whole table and never change: a change sends the same commands with
// them as without.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/pf.h"
#include "platform/pf/pf_index.h"

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
    explicit KernelRuleset(std::uint16_t logGroup, std::vector<std::uint16_t> antiLockoutPorts = {})
        : logGroup_(logGroup), antiLockoutPorts_(std::move(antiLockoutPorts)) {}

    // Each change records itself in the model and the journal and appends its commands to
    // `text` (nothing while the interface is not bound). The caller checks handles first.
    void CreateInterface(INTERFACE_HANDLE h, DWORD name, PFFORWARD_ACTION in, PFFORWARD_ACTION out,
                         bool useLog, Journal& journal);
    void DeleteInterface(INTERFACE_HANDLE h, std::string& text, Journal& journal);
    // `device`: the index of the device holding the address, 0 when none does.
    void Bind(INTERFACE_HANDLE h, std::uint32_t address, std::uint32_t device, std::string& text,
              Journal& journal);
    void Unbind(INTERFACE_HANDLE h, std::string& text, Journal& journal);
    void AddFilter(INTERFACE_HANDLE h, PacketDirection direction, FILTER_HANDLE f, const Rule& rule,
                   std::string& text, Journal& journal);
    void RemoveFilters(INTERFACE_HANDLE h, std::span<const FILTER_HANDLE> filters,
                       std::string& text, Journal& journal);
    void SetGlobal(INTERFACE_HANDLE h, GLOBAL_FILTER g, bool on, std::string& text,
                   Journal& journal);

    bool HasInterface(INTERFACE_HANDLE h) const { return interfaces_.count(h) != 0; }
    bool IsBound(INTERFACE_HANDLE h) const;
    // True when every handle is a filter of the interface.
    bool HasFilters(INTERFACE_HANDLE h, std::span<const FILTER_HANDLE> filters) const;

    // One transaction that replaces whatever table is there (one of an earlier run included)
    // with the model, so no packet ever meets a half-written table.
    std::string WholeTable() const;
    static std::string RemoveTable();

  private:
    struct Shape {
        std::string match;
        std::string type;
        bool transport = false;
        std::uint32_t number = 0;
        std::map<std::string, std::uint32_t> elements;  // key text: how many filters hold it
    };
    struct Filter {
        std::uint8_t direction = 0;
        Placement placement;
        DWORD rule = 0;
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
    struct Interface {
        INTERFACE_HANDLE handle = 0;
        DWORD name = 0;
        PFFORWARD_ACTION actions[2] = {PF_ACTION_FORWARD, PF_ACTION_FORWARD};
        bool useLog = false;
        bool bound = false;
        std::uint32_t address = 0;
        std::uint32_t device = 0;
        DWORD globals = 0;
        Direction directions[2];
        std::map<FILTER_HANDLE, Filter> filters;  // handle order: the text is the same each time
        bool Has(GLOBAL_FILTER g) const { return (globals >> g & 1) != 0; }
    };

    std::string Name(const Interface& itf) const;
    std::string FilterVerdict(const Interface& itf, int d, DWORD rule) const;
    std::string DefaultVerdict(const Interface& itf, int d) const;
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
    std::map<std::uint32_t, std::string> spoofWritten_;  // device: the rules of its chain
};

}  // namespace platform::pf

// Which host program Callscope follows: Sorrel over the session bus, or
// WSJT-X (and JTDX, which speaks the same protocol) over UDP.
#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <optional>
#include <stdexcept>
#include <string>

#include "weblookup/callbooks.h"

namespace callscope {

// Where WSJT-X datagrams are received: a unicast address of this machine
// (the programs' default, 127.0.0.1:2237) or a multicast group that
// several listeners share.
struct UdpEndpoint {
  QHostAddress address{QHostAddress::LocalHost};
  quint16 port = 2237;

  bool IsMulticast() const { return address.isMulticast(); }
  // "127.0.0.1:2237", "[::1]:2237".
  QString Text() const;
};

// "[ADDRESS:]PORT", as --udp takes it: "2237" (on 127.0.0.1),
// "224.0.0.73:2237", "[ff02::1]:2237". Empty when the text is not one.
std::optional<UdpEndpoint> ParseUdpEndpoint(const QString& text);

enum class HostLinkKind {
  Sorrel,     // only Sorrel: without it, say so and end
  Wsjtx,      // only WSJT-X, on the endpoint
  Automatic,  // Sorrel if it answers, else offer to listen for WSJT-X
};

struct HostLinkChoice {
  HostLinkKind kind = HostLinkKind::Sorrel;
  UdpEndpoint udp;
};

// Raised for a link setting that cannot be used; the text says which.
class HostLinkError : public std::runtime_error {
 public:
  explicit HostLinkError(const std::string& what) : std::runtime_error(what) {}
};

// The link chosen in callscope.conf:
//   [Link]   Host=Sorrel or Host=WSJT-X
//   [WSJT-X] Address=127.0.0.1 (or a multicast group), Port=2237
// An Address or Port alone chooses WSJT-X; with none of these the choice
// is Automatic. Throws HostLinkError for a value it cannot use.
HostLinkChoice LoadHostLink(const QString& configPath = CallscopeConfigPath());

// Takes --udp [GROUP:]PORT (or --udp=...) and --sorrel out of the
// arguments, applied over the configured choice; other arguments are left
// for Qt. Throws HostLinkError for a malformed endpoint or a missing one.
HostLinkChoice ApplyLinkArguments(HostLinkChoice choice, QStringList& arguments);

}  // namespace callscope

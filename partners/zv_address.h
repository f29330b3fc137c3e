// The one reader of the addresses and ports that settings name: a partner's ip_address
// and ports, a local identity's transport_listen_port, the receipt client's socket and
// the socket interface's port, and the dotted addresses the transport connects to and
// listens on. Each is read whole and strictly: an IPv4 address is four decimal numbers
// from 0 to 255 (one to three digits each, a leading 0 is no octal mark) joined by dots;
// a port is a plain decimal number from 1 to 65535. A caller gets the value or the
// reason it is none, never what some leading digits would make of the text.
//
// Callers: the trading-partner and local-identity loaders (partners/), the transport
// (transport/), clientd's start-up checks (client/). No state; any thread.
#ifndef ZV_PARTNERS_ZV_ADDRESS_H
#define ZV_PARTNERS_ZV_ADDRESS_H

#include <string>
#include <string_view>

struct zv_ipv4 {
  unsigned char octet[4];
};

// Room for the dotted text of an address and its NUL.
constexpr int ZV_IPV4_TEXT_SIZE = 16;

// True with *out set; false with the reason in *why (out untouched), a clause that
// begins "it " or "its " ("it is not a plain decimal number").
bool zv_read_ipv4(std::string_view text, zv_ipv4 *out, std::string *why);
bool zv_read_port(std::string_view text, int *port, std::string *why);
// "a.b.c.d:port": the address before the first ':', the port after it (`addr` and `port`
// may be null for a caller that only checks the text).
bool zv_read_socaddr(std::string_view text, zv_ipv4 *addr, int *port, std::string *why);

// The address as "%d.%d.%d.%d" into `out` (ZV_IPV4_TEXT_SIZE bytes).
void zv_ipv4_text(const zv_ipv4 &addr, char *out);

#endif

// Host names and paths in the form a web server reads them, so that two spellings of one page
// are judged, logged and cached as one. The driver (its own service-domain pass), the service
// (the lookup URL) and the reference policy server (its rules) all go through here: if any of
// them read a name another way, a request could be judged by one spelling and served by another.
//
// Only bytes change, never their meaning to a server: nothing is resolved, no IDN is decoded, no
// locale is consulted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace wexo {

inline constexpr uint16_t kHttpDefaultPort = 80;
inline constexpr uint16_t kHttpsDefaultPort = 443;

// A host as the HTTP Host header, a proxy request's authority, a TLS server name or a
// certificate name gives it, with an optional ":port":
// - surrounding blanks (space, tab, CR, LF, VT, FF) trimmed;
// - ASCII letters lower-cased (other bytes kept);
// - one trailing dot of the name removed, also before a port ("Example.COM.:8080" ->
//   "example.com:8080");
// - the port written without leading zeros, and dropped when it is `defaultPort` or empty
//   ("host:80", "host:080" and "host:" are "host"), because a server reached on its scheme's own
//   port is the same site; any other port is kept;
// - an IPv6 literal keeps its brackets ("[2001:DB8::1]:8080" -> "[2001:db8::1]:8080"); a bare
//   address with several colons has no port and is only lower-cased.
// A host whose name is empty once trimmed (blanks, a lone "." or ":8080") becomes empty: the
// request names no host.
std::string NormalizeHost(std::string_view host, uint16_t defaultPort = kHttpDefaultPort);

// The same without allocating, for callers that must not (the driver's classify path). The
// result is never longer than `host`; it is written into `buffer` and the view points there. A
// buffer shorter than `host` gives an empty view, which names no host.
std::string_view NormalizeHostInto(std::string_view host, std::span<char> buffer,
                                   uint16_t defaultPort = kHttpDefaultPort);

// A request target from its path on ("/a/b?q=1"), normalised for comparison:
// - the path is what comes before the first "?" or "#"; everything from there on is kept as it
//   is (a query is the application's business, and servers never take a "#" into the path);
// - percent-encodings of unreserved characters (ALPHA, DIGIT, "-", ".", "_", "~") are decoded,
//   and so is "%2F", because common servers (nginx) take it for a "/" when they map the path;
//   the hex digits of every other percent-encoding are upper-cased; an invalid sequence ("%",
//   "%4", "%G0") stays as it is;
// - dot segments are removed after decoding ("/%2e%2e/x" -> "/x"; never above the root);
// - runs of "/" are one "/" ("//a///b" -> "/a/b"), as common servers merge them;
// - the path always begins with "/": an empty one is "/", "a/b" is "/a/b".
// A backslash is an ordinary byte, as it is to RFC 3986 and to servers on Unix; browsers turn it
// into "/" themselves before they send a request.
std::string NormalizePath(std::string_view target);

// The same without allocating: `buffer` needs target.size() + 1 bytes (the "/" that may be put in
// front); a shorter one gives an empty view.
std::string_view NormalizePathInto(std::string_view target, std::span<char> buffer);

// The path of a request target as the servers that read it most loosely take it, normalised as
// NormalizePath does; the query and what follows stay as they are:
// - a backslash is a "/" (IIS, and nginx on Windows, map it so), and so is "%5C", which those
//   servers decode before they map the path;
// - the path parameters of each segment (";" up to the segment's end: "/a;jsessionid=1/b" ->
//   "/a/b", "/a/..;/b" -> "/b") are removed, as Tomcat, Jetty and Spring do before they map the
//   path. They split on the bytes as sent, so an encoded "%3B" is part of the segment's name
//   there and stays.
// A lookup whose path differs in this reading from NormalizePath's is judged by both: a rule for
// "/blocked/" must hold for "\blocked\x" and "/blocked;x=1/x" on the servers that serve them
// as "/blocked/x".
std::string ServerReadPath(std::string_view target);

}  // namespace wexo

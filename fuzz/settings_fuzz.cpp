// The operator's two settings on any input, each against a simple model of
// its rule: where explicit addresses may lead (LINKHOP_EXPLICIT), modelled
// with plain string operations; and the masked client address
// (LINKHOP_LOG_CLIENT=masked), modelled with the C library's own address
// parser and printer. Input: [first text] 0 [second text]; the first is the
// allow-list and the client address, the second the explicit address.
#include <arpa/inet.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "explicit.h"
#include "fuzz_support.h"
#include "logclient.h"

namespace {

std::string Lower(std::string text) {
  for (char &c : text)
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
  return text;
}

bool StartsWith(const std::string &text, const std::string &start) {
  return text.compare(0, start.size(), start) == 0;
}

bool EndsWith(const std::string &text, const std::string &end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool ModelAllowed(const std::string &address, const std::string &setting) {
  if (setting.empty()) return true;
  if (setting == "none") return false;
  if (StartsWith(address, "/")) return address.size() == 1 || (address[1] != '/' && address[1] != '\\');
  std::string rest;
  if (StartsWith(Lower(address), "http://")) rest = address.substr(7);
  else if (StartsWith(Lower(address), "https://")) rest = address.substr(8);
  else return false;
  const std::string authority = rest.substr(0, rest.find_first_of("/?#\\"));
  if (authority.find_first_of("@%") != std::string::npos) return false;
  std::string host, after;
  if (StartsWith(authority, "[")) {
    const size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    host = authority.substr(0, close + 1);
    after = authority.substr(close + 1);
  } else {
    host = authority.substr(0, authority.find(':'));
    after = authority.substr(host.size());
  }
  if (host.empty()) return false;
  if (!after.empty() &&
      (after[0] != ':' || after.size() == 1 ||
       after.find_first_not_of("0123456789", 1) != std::string::npos))
    return false;
  host = Lower(host);
  size_t at = 0;
  while (at < setting.size()) {
    const size_t start = setting.find_first_not_of(" \t,", at);
    if (start == std::string::npos) break;
    const size_t end = std::min(setting.find_first_of(" \t,", start), setting.size());
    const std::string entry = Lower(setting.substr(start, end - start));
    at = end;
    if (entry == host) return true;
    if (entry.size() >= 2 && entry[0] == '.' &&
        (host == entry.substr(1) || (host.size() > entry.size() && EndsWith(host, entry))))
      return true;
  }
  return false;
}

std::string ModelMasked(const std::string &remote) {
  unsigned char bytes[16];
  char text[INET6_ADDRSTRLEN];
  if (inet_pton(AF_INET, remote.c_str(), bytes) == 1) {
    bytes[3] = 0;
    return inet_ntop(AF_INET, bytes, text, sizeof(text));
  }
  if (inet_pton(AF_INET6, remote.c_str(), bytes) != 1) return "0.0.0.0";
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (memcmp(bytes, kMapped, 12) == 0) bytes[15] = 0;
  else memset(bytes + 6, 0, 10);
  return inet_ntop(AF_INET6, bytes, text, sizeof(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string input((const char *)data, size);
  const size_t zero = input.find('\0');
  const std::string first = input.substr(0, zero);
  const std::string second = zero == std::string::npos ? "" : input.substr(zero + 1).c_str();

  FUZZ_CHECK((ExplicitAllowed(second.c_str(), first.c_str()) == 1) == ModelAllowed(second, first));

  char room[LOG_CLIENT_ROOM];
  const char *masked = LogClientAddress(first.c_str(), "masked", room);
  FUZZ_CHECK(masked != nullptr && masked == ModelMasked(first));
  FUZZ_CHECK(LogClientAddress(first.c_str(), "full", room) == first.c_str());
  FUZZ_CHECK(LogClientAddress(first.c_str(), "Full", room) == nullptr);
  return 0;
}

#include "der.h"

#include <algorithm>

namespace gea {
namespace {

// One TLV read with every length checked against what is left.
struct Reader {
  const unsigned char* at;
  const unsigned char* end;

  // The content of the next element if it has `tag`; advances past it.
  std::optional<std::pair<const unsigned char*, size_t>> Next(unsigned char tag) {
    if (end - at < 2 || at[0] != tag) return std::nullopt;
    size_t length = at[1];
    const unsigned char* p = at + 2;
    if (length & 0x80) {
      const size_t count = length & 0x7F;
      // Four length bytes are more than any key structure needs; DER forbids the indefinite form.
      if (count == 0 || count > 4 || static_cast<size_t>(end - p) < count) return std::nullopt;
      length = 0;
      for (size_t i = 0; i < count; ++i) length = (length << 8) | *p++;
    }
    if (static_cast<size_t>(end - p) < length) return std::nullopt;
    at = p + length;
    return std::make_pair(p, length);
  }

  std::optional<Bytes> Integer() {
    const auto element = Next(0x02);
    // Only non-negative numbers occur in the key structures.
    if (!element || element->second == 0 || (element->first[0] & 0x80)) return std::nullopt;
    return Trimmed(Bytes(element->first, element->first + element->second));
  }
};

void PutLength(Bytes& out, size_t length) {
  if (length < 0x80) {
    out.push_back(static_cast<unsigned char>(length));
    return;
  }
  Bytes digits;
  for (size_t l = length; l > 0; l >>= 8) digits.insert(digits.begin(), static_cast<unsigned char>(l & 0xFF));
  out.push_back(static_cast<unsigned char>(0x80 | digits.size()));
  out.insert(out.end(), digits.begin(), digits.end());
}

void Put(Bytes& out, unsigned char tag, const Bytes& content) {
  out.push_back(tag);
  PutLength(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
}

void PutInteger(Bytes& out, const Bytes& number) {
  Bytes content = Trimmed(number);
  if (content.empty() || (content[0] & 0x80)) content.insert(content.begin(), 0);
  Put(out, 0x02, content);
}

Bytes Sequence(const Bytes& content) {
  Bytes out;
  Put(out, 0x30, content);
  return out;
}

template <typename Decode>
auto Whole(const unsigned char* der, size_t length, size_t* used, Decode decode) -> decltype(decode(nullptr)) {
  if (der == nullptr) return std::nullopt;
  Reader outer{der, der + length};
  const auto body = outer.Next(0x30);
  if (!body) return std::nullopt;
  Reader inner{body->first, body->first + body->second};
  auto result = decode(&inner);
  if (!result || inner.at != inner.end) return std::nullopt;
  if (used != nullptr) *used = static_cast<size_t>(outer.at - der);
  return result;
}

struct Algorithm {
  int alg;
  int nid;
  Bytes oid;
};

const std::vector<Algorithm>& Algorithms() {
  static const std::vector<Algorithm> table = {
      {0x8001, HS_NID_MD2, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x02}},
      {0x8003, HS_NID_MD5, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05}},
      {0x8004, HS_NID_SHA1, {0x2B, 0x0E, 0x03, 0x02, 0x1A}},
  };
  return table;
}

}  // namespace

Bytes Trimmed(Bytes number) {
  const auto first = std::find_if(number.begin(), number.end(), [](unsigned char b) { return b != 0; });
  number.erase(number.begin(), first);
  return number;
}

size_t RsaKey::Bits() const {
  if (n.empty()) return 0;
  size_t bits = n.size() * 8;
  for (unsigned char top = n[0]; (top & 0x80) == 0; top <<= 1) --bits;
  return bits;
}

Bytes EncodePublicKey(const RsaKey& key) {
  Bytes body;
  PutInteger(body, key.n);
  PutInteger(body, key.e);
  return Sequence(body);
}

Bytes EncodePrivateKey(const RsaKey& key) {
  Bytes body;
  PutInteger(body, {});
  for (const Bytes* part : {&key.n, &key.e, &key.d, &key.p, &key.q, &key.dp, &key.dq, &key.qinv}) {
    PutInteger(body, *part);
  }
  return Sequence(body);
}

std::optional<RsaKey> DecodePublicKey(const unsigned char* der, size_t length, size_t* used) {
  return Whole(der, length, used, [](Reader* r) -> std::optional<RsaKey> {
    RsaKey key;
    auto n = r->Integer();
    auto e = r->Integer();
    if (!n || !e || n->empty() || e->empty()) return std::nullopt;
    key.n = std::move(*n);
    key.e = std::move(*e);
    return key;
  });
}

std::optional<RsaKey> DecodePrivateKey(const unsigned char* der, size_t length, size_t* used) {
  return Whole(der, length, used, [](Reader* r) -> std::optional<RsaKey> {
    const auto version = r->Next(0x02);
    if (!version || version->second != 1 || version->first[0] != 0) return std::nullopt;
    RsaKey key;
    for (Bytes* part : {&key.n, &key.e, &key.d, &key.p, &key.q, &key.dp, &key.dq, &key.qinv}) {
      auto value = r->Integer();
      if (!value || value->empty()) return std::nullopt;
      *part = std::move(*value);
    }
    return key;
  });
}

std::optional<DigestInfo> DecodeDigestInfo(const unsigned char* der, size_t length, size_t* used) {
  return Whole(der, length, used, [](Reader* r) -> std::optional<DigestInfo> {
    const auto algorithm = r->Next(0x30);
    const auto digest = r->Next(0x04);
    if (!algorithm || !digest) return std::nullopt;
    Reader a{algorithm->first, algorithm->first + algorithm->second};
    const auto oid = a.Next(0x06);
    if (!oid || oid->second == 0) return std::nullopt;
    // The parameters are NULL or absent.
    if (a.at != a.end) {
      const auto null = a.Next(0x05);
      if (!null || null->second != 0 || a.at != a.end) return std::nullopt;
    }
    return DigestInfo{Bytes(oid->first, oid->first + oid->second),
                      Bytes(digest->first, digest->first + digest->second)};
  });
}

std::optional<Bytes> DigestInfoPrefix(int algorithm) {
  for (const auto& a : Algorithms()) {
    if (a.alg != algorithm) continue;
    const size_t digestLength = algorithm == 0x8004 ? 20 : 16;
    Bytes identifier;
    Put(identifier, 0x06, a.oid);
    identifier.insert(identifier.end(), {0x05, 0x00});
    Bytes body;
    Put(body, 0x30, identifier);
    body.push_back(0x04);
    PutLength(body, digestLength);
    Bytes prefix{0x30};
    PutLength(prefix, body.size() + digestLength);
    prefix.insert(prefix.end(), body.begin(), body.end());
    return prefix;
  }
  return std::nullopt;
}

int NidOfOid(const Bytes& oid) {
  for (const auto& a : Algorithms()) {
    if (a.oid == oid) return a.nid;
  }
  return HS_NID_UNDEF;
}

HS_RSA* NewRsa(const RsaKey& key) {
  auto* rsa = new HS_RSA{};
  auto number = [](const Bytes& b) { return b.empty() ? nullptr : new HS_BIGNUM{b}; };
  rsa->n = number(key.n);
  rsa->e = number(key.e);
  rsa->d = number(key.d);
  rsa->p = number(key.p);
  rsa->q = number(key.q);
  rsa->dmp1 = number(key.dp);
  rsa->dmq1 = number(key.dq);
  rsa->iqmp = number(key.qinv);
  return rsa;
}

RsaKey FromRsa(const HS_RSA& rsa) {
  auto bytes = [](const HS_BIGNUM* b) { return b != nullptr ? Trimmed(b->bytes) : Bytes(); };
  return RsaKey{bytes(rsa.n), bytes(rsa.e),    bytes(rsa.d),    bytes(rsa.p),
                bytes(rsa.q), bytes(rsa.dmp1), bytes(rsa.dmq1), bytes(rsa.iqmp)};
}

}  // namespace gea

// Contexts and their parameters: acquiring and releasing, the containers on the key, the
// provider's parameters and its random numbers.
#include <algorithm>
#include <cstring>

#include "entry_shared.h"
#include "tw/log.h"

namespace csp {
namespace {

// A generated name for a new container asked for without one.
Result DefaultContainerName(std::string* name) {
  unsigned char random[8] = {};
  CSP_TRY(KeyLibrary::Run(KeyLib().HSGenRandom, static_cast<HS_HANDLE>(nullptr), random, 8));
  std::string prefix = TheProvider().ContainerPrefix();
  if (prefix.empty()) prefix = "MVCSP-";
  static const char digits[] = "0123456789ABCDEF";
  *name = prefix.substr(0, kMaxContainerName - 16);
  for (unsigned char b : random) {
    *name += digits[b >> 4];
    *name += digits[b & 15];
  }
  return Result::Ok();
}

// The name of the container in place `index` of the key; nullopt when the place is empty.
Result ContainerNameAt(HS_HANDLE device, int index, std::optional<std::string>* name) {
  char buffer[kMaxContainerName + 2] = {};
  int size = static_cast<int>(sizeof buffer - 1);
  const Result r = KeyLibrary::Run(KeyLib().HSGetContainerName, device, index, buffer, &size);
  name->reset();
  if (r.status == Status::kKeyLibrary && r.code == HS_ERR_NO_CONTAINER) return Result::Ok();
  CSP_TRY(r);
  name->emplace(buffer, strnlen(buffer, sizeof buffer));
  return Result::Ok();
}

// The key's default container: the first place that holds one. None at all leaves the
// context without a container, and the acquire succeeds all the same.
Result DefaultContainer(HS_HANDLE device, std::string* name) {
  for (int i = 0; i < HS_MAX_CONTAINERS; ++i) {
    std::optional<std::string> at;
    CSP_TRY(ContainerNameAt(device, i, &at));
    if (!at) continue;
    *name = *at;
    return Result::Ok();
  }
  name->clear();
  return Result::Ok();
}

Result OpenContainer(Context& c, const ContainerName& name, uint32_t flags, bool* deleted) {
  const KeyLibrary& lib = KeyLib();
  Session session(c);
  CSP_TRY(session.Open(false));
  HS_HANDLE device = session.device;
  std::string container = name.container;
  int index = HS_MAX_CONTAINERS;
  if (flags & kFlagNewKeyset) {
    if (container.empty()) CSP_TRY(DefaultContainerName(&container));
    CSP_TRY(KeyLibrary::Run(lib.HSGetContainerNum, device, container.c_str(), &index));
    if (index >= 0 && index < HS_MAX_CONTAINERS) return Result::Fail(Status::kContainerExists);
    CSP_TRY(Verify(c));
    CSP_TRY(KeyLibrary::Run(lib.HSCreateContainer, device, container.c_str(), &index));
  } else {
    if (container.empty()) {
      CSP_TRY(DefaultContainer(device, &container));
      if (container.empty()) return Result::Ok();
    }
    CSP_TRY(KeyLibrary::Run(lib.HSGetContainerNum, device, container.c_str(), &index));
    if (index < 0 || index >= HS_MAX_CONTAINERS) return Result::Fail(Status::kContainerMissing);
    if (flags & kFlagDeleteKeyset) {
      CSP_TRY(Verify(c));
      CSP_TRY(KeyLibrary::Run(lib.HSDelContainer, device, container.c_str()));
      *deleted = true;
      return Result::Ok();
    }
  }
  std::snprintf(c.container, sizeof c.container, "%s", container.c_str());
  c.containerIndex = index;
  return Result::Ok();
}

Result EnumContainers(Context& c, unsigned char* data, uint32_t* length, uint32_t flags) {
  if (length == nullptr) return Result::Fail(Status::kInvalidParameter);
  Session session(c);
  CSP_TRY(session.Open(false));
  HS_HANDLE device = session.device;
  const KeyLibrary& lib = KeyLib();
  if (flags & kCryptFirst) {
    c.enumContainer = 0;
    // Applications find the key's certificates in the user's store, tied to this provider.
    int added = 0;
    KeyLibrary::Run(lib.HSRegistCertByHandle, device, kProviderName, &added);
  }
  std::vector<std::pair<int, std::string>> names;
  for (int i = 0; i < HS_MAX_CONTAINERS; ++i) {
    std::optional<std::string> at;
    CSP_TRY(ContainerNameAt(device, i, &at));
    if (at) names.emplace_back(i, std::move(*at));
  }
  if (data == nullptr) {
    // The size query answers for the longest name, so that one buffer serves the whole walk.
    size_t longest = 0;
    for (const auto& n : names) longest = std::max(longest, n.second.size());
    *length = static_cast<uint32_t>(std::max<size_t>(longest + 1, kMaxContainerName + 1));
    return Result::Ok();
  }
  for (const auto& n : names) {
    if (n.first < static_cast<int>(c.enumContainer)) continue;
    CSP_TRY(PutText(n.second, data, length));
    c.enumContainer = static_cast<uint32_t>(n.first + 1);
    return Result::Ok();
  }
  return Result::Fail(Status::kNoMoreItems);
}

Bytes AlgorithmRecord(const AlgorithmEntry& e, bool extended) {
  Bytes out;
  auto dword = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
  };
  auto name = [&](const std::string& n, size_t room) {
    Bytes field(room, 0);
    std::memcpy(field.data(), n.data(), std::min(n.size(), room - 1));
    out.insert(out.end(), field.begin(), field.end());
  };
  const uint32_t nameLength = static_cast<uint32_t>(std::min<size_t>(e.name.size(), 19) + 1);
  dword(e.id);
  if (!extended) {
    dword(e.bits);
    dword(nameLength);
    name(e.name, 20);
    return out;
  }
  // Each entry stands for its own size: default, minimum and maximum alike.
  dword(e.bits);
  dword(e.bits);
  dword(e.bits);
  dword(0);
  dword(nameLength);
  name(e.name, 20);
  dword(nameLength);
  name(e.name, 40);
  return out;
}

Result EnumAlgorithms(Context& c, unsigned char* data, uint32_t* length, uint32_t flags, bool extended) {
  if (flags & kCryptFirst) c.enumAlgorithm = 0;
  const auto& list = AlgorithmList();
  if (c.enumAlgorithm >= list.size()) return Result::Fail(Status::kNoMoreItems);
  CSP_TRY(Put(AlgorithmRecord(list[c.enumAlgorithm], extended), data, length));
  if (data != nullptr) ++c.enumAlgorithm;
  return Result::Ok();
}

}  // namespace

Result AcquireContext(MV_HANDLE* prov, const char* container, uint32_t flags, const MV_VTABLE_PROV* vtable) {
  if (prov == nullptr) return Result::Fail(Status::kInvalidParameter);
  CSP_TRY(TheProvider().Start());
  const uint32_t known = kFlagVerifyContext | kFlagNewKeyset | kFlagDeleteKeyset | kFlagMachineKeyset | kFlagSilent;
  const uint32_t verifyBits = flags & kFlagVerifyContext;
  if ((flags & ~known) != 0 || (verifyBits != 0 && verifyBits != kFlagVerifyContext) ||
      (verifyBits != 0 && (flags & (kFlagNewKeyset | kFlagDeleteKeyset)) != 0) ||
      (flags & (kFlagNewKeyset | kFlagDeleteKeyset)) == (kFlagNewKeyset | kFlagDeleteKeyset)) {
    return Result::Fail(Status::kBadFlags);
  }
  const std::optional<ContainerName> name = ParseContainerName(container);
  if (!name) return Result::Fail(Status::kBadContainerName);
  LOG_DEBUG("acquire \"{}\" on \"{}\", flags {:#x}", name->container, name->reader, flags);

  Context* c = nullptr;
  CSP_TRY(TheProvider().NewContext(flags, &c));
  if (vtable != nullptr) c->returnWindow = vtable->FuncReturnhWnd;
  // A named reader must be connected; otherwise the last connected reader of the list.
  std::string reader = name->reader;
  if (reader.empty()) {
    const auto readers = TheProvider().table().Readers();
    if (!readers.empty()) reader = readers.back();
  }
  Result r;
  if (!reader.empty() && TheProvider().table().Device(reader)) {
    std::snprintf(c->reader, sizeof c->reader, "%s", reader.c_str());
    c->device = TheProvider().Device(*c);
  } else if (!c->Verify() || !name->reader.empty()) {
    r = Result::Fail(Status::kInternal);
  }
  bool deleted = false;
  if (r.ok() && !c->Verify()) r = OpenContainer(*c, *name, flags, &deleted);
  if (!r.ok() || deleted) {
    TheProvider().ReleaseContext(c);
    *prov = 0;
    return r;
  }
  *prov = reinterpret_cast<MV_HANDLE>(c);
  return Result::Ok();
}

Result ReleaseContext(MV_HANDLE prov, uint32_t flags) {
  Call call(prov);
  CSP_TRY(call.result());
  TheProvider().ReleaseContext(call.c);
  return flags == 0 ? Result::Ok() : Result::Fail(Status::kBadFlags);
}

Result SetProvParam(MV_HANDLE prov, uint32_t param, const unsigned char* data, uint32_t flags) {
  Call call(prov);
  CSP_TRY(call.result());
  (void)flags;
  if (param != kPpKeyExchangePin && param != kPpSignaturePin) return Result::Ok();
  if (data == nullptr) return Result::Fail(Status::kInvalidParameter);
  const size_t length = strnlen(reinterpret_cast<const char*>(data), HS_MAX_PIN + 1);
  if (length == 0 || length > HS_MAX_PIN) return Result::Fail(Status::kInvalidParameter);
  Session session(*call.c);
  CSP_TRY(session.Open(false));
  return Verify(*call.c, Secret(std::string(reinterpret_cast<const char*>(data), length)));
}

Result GetProvParam(MV_HANDLE prov, uint32_t param, unsigned char* data, uint32_t* length, uint32_t flags) {
  Call call(prov);
  CSP_TRY(call.Pointers(length != nullptr).result());
  Context* c = call.c;
  switch (param) {
    case kPpEnumAlgs:
    case kPpEnumAlgsEx:
      return EnumAlgorithms(*c, data, length, flags, param == kPpEnumAlgsEx);
    case kPpEnumContainers:
      return EnumContainers(*c, data, length, flags);
    case kPpName:
      return PutText(kProviderName, data, length);
    case kPpVersion:
      return PutDword(kProviderVersion, data, length);
    case kPpImpType:
      return PutDword(kImplMixedRemovable, data, length);
    case kPpProvType:
      return PutDword(kProvRsaFull, data, length);
    case kPpKeysetType:
      return PutDword(0, data, length);
    case kPpSigKeysizeInc:
    case kPpKeyxKeysizeInc:
      return PutDword(1024, data, length);
    case kPpKeySpec:
      return PutDword(kAtKeyExchange | kAtSignature, data, length);
    case kPpContainer:
    case kPpUniqueContainer:
      if (c->container[0] == '\0') return Result::Fail(Status::kContainerMissing);
      return PutText(c->container, data, length);
    case kPpSmartcardReader:
      if (c->reader[0] == '\0') return Result::Fail(Status::kNoDevice);
      return PutText(c->reader, data, length);
    default:
      return Result::Fail(Status::kBadType);
  }
}

Result GenRandom(MV_HANDLE prov, uint32_t length, unsigned char* buffer) {
  Call call(prov);
  CSP_TRY(call.Pointers(buffer != nullptr || length == 0).result());
  if (length > kMaxDataLength) return Result::Fail(Status::kBadLength);
  return KeyLibrary::Run(KeyLib().HSGenRandom, TheProvider().Device(*call.c), buffer, static_cast<int>(length));
}

}  // namespace csp

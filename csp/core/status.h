// The one outcome of every provider operation, grouped by where it comes from. Inside the
// provider nothing else is returned; only the export file turns a Result into the number the
// entry points leave as the thread's last error.
#pragma once

#include <cstdint>

namespace csp {

enum class Status : uint8_t {
  kOk,

  // The caller's arguments.
  kInvalidParameter,  // a null pointer or a length that cannot be
  kBadFlags,          // flags the call does not take
  kBadType,           // a parameter number or blob type the provider does not know
  kBadAlgorithm,      // an algorithm it does not offer for this use
  kBadLength,         // a length that does not fit the algorithm or the key
  kBadData,           // data that do not decode: a blob, padding, a partial block
  kMoreData,          // the caller's buffer is too small; the size needed was set
  kNoMoreItems,       // an enumeration is past its last item
  kSilent,            // the context is silent but the user would have to be asked
  kNotOffered,        // a function of the interface the provider does not offer

  // Handles and objects.
  kNoContext,     // not a provider handle of this module
  kBadHash,       // not a hash handle of this context
  kBadKey,        // not a key handle of this context, or a key unfit for the use
  kBadHashState,  // the hash is finished (or not)
  kBadKeyState,   // the key cannot leave the key (private parts) or is not exportable
  kNoKey,         // the container holds no key of that kind
  kBadSignature,  // the signature does not match

  // Contexts and containers.
  kNoMemory,          // no memory for a context
  kContainerExists,   // the new container's name is taken
  kContainerMissing,  // no such container, or the context has none
  kBadContainerName,  // too long, or a malformed reader prefix
  kInternal,          // no reader known, the reader lock could not be had, or a broken invariant
  kNoDevice,          // the context has no key to work on

  // User verification.
  kCancelled,  // the person cancelled the dialog
  kTableFull,  // the reader table has no free entry

  // The key library.
  kNoKeyLibrary,  // it could not be loaded: nothing is bound
  kUnbound,       // the function needed is missing from it
  kKeyLibrary,    // it failed: its own code travels in Result::code
};

struct Result {
  Status status = Status::kOk;
  uint32_t code = 0;  // the key library's result for kKeyLibrary

  bool ok() const { return status == Status::kOk; }
  static Result Ok() { return {}; }
  static Result Fail(Status s) { return {s, 0}; }
  static Result Library(int code) {
    return code == 0 ? Result{} : Result{Status::kKeyLibrary, static_cast<uint32_t>(code)};
  }
};

// Ends the enclosing function with `expr`'s Result unless it is a success.
#define CSP_TRY(expr)                    \
  do {                                   \
    const ::csp::Result csp_r_ = (expr); \
    if (!csp_r_.ok()) return csp_r_;     \
  } while (0)

}  // namespace csp

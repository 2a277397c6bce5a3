#include "prompt.h"

namespace csp {

std::unique_ptr<Prompt> MakeSystemPrompt() { return std::make_unique<NoPrompt>(); }

}  // namespace csp

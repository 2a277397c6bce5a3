// Names of the sex codes (GB/T 2261.1, short forms) and the nationality codes (GB/T 3304, without
// the trailing "族"), as UTF-8 data.
#pragma once

namespace vnsdt {

// Empty for codes without a name.
const char* SexName(long code);
// "其他" for codes without a name.
const char* NationName(long code);

}  // namespace vnsdt

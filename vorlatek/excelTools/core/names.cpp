#include "names.hpp"

namespace xt {

Names names{};

namespace {
bool names_ready = false;
}

bool intern_names() noexcept
{
    if (names_ready) {
        return true;
    }
#define XT_MAKE_TEXT(ident, text)                                  \
    if (names.ident == nullptr) {                                  \
        names.ident = PyUnicode_InternFromString(text);            \
        if (names.ident == nullptr) {                              \
            return false;                                          \
        }                                                          \
    }
#define XT_MAKE_NAME(ident) XT_MAKE_TEXT(ident, #ident)
    XT_NAMES(XT_MAKE_NAME, XT_MAKE_TEXT)
#undef XT_MAKE_NAME
#undef XT_MAKE_TEXT
    names_ready = true;
    return true;
}

}  // namespace xt

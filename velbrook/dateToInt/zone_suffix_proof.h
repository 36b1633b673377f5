// The proof that lets native code remove the trailing numeric zone of
// "zone_suffix.h" instead of making the calls the date module's names
// stand for, `search(TZ_REGEXP, text)` and then `sub(TZ_REGEXP, "",
// text)`.  The date module checks that proof before each use, and so does
// the column module, which reads the date module's namespace: both skip
// the calls only while the names hold exactly what was proved.
#pragma once

#include "../_shared/python.h"

#include "../_shared/imports.h"
#include "../_shared/ref.h"
#include "zone_suffix.h"

namespace vb {

// re.search and re.sub as the standard library defines them, pinned, and
// the pattern text.  Kept for the process.
class ZoneSuffixProof {
public:
    // Pins `search` and `sub` when they are the `re` module's own
    // functions; otherwise pins nothing, and nothing is proved.
    void pin(PyObject* search, PyObject* sub) noexcept
    {
        search_.clear();
        sub_.clear();
        Ref ownSearch = standardFunction("re", "search");
        Ref ownSub = standardFunction("re", "sub");
        if (ownSearch && ownSub && search == ownSearch.get() &&
            sub == ownSub.get()) {
            search_.pin(search);
            sub_.pin(sub);
        }
    }

    // Pins the `re` module's own functions as they stand now.
    void pinStandard() noexcept
    {
        Ref ownSearch = standardFunction("re", "search");
        Ref ownSub = standardFunction("re", "sub");
        pin(ownSearch.get(), ownSub.get());
    }

    // The date module's own TZ_REGEXP object, accepted without comparing
    // its text.
    bool setOwnPattern(Ref pattern) noexcept
    {
        return ownPattern_.set(std::move(pattern));
    }

    // True when `search(pattern, text)` is the pinned re.search with the
    // zone pattern, so that the native finder gives what it would.
    bool search(PyObject* f, PyObject* pattern) const noexcept
    {
        return search_.is(f) && isPattern(pattern);
    }

    // The same for `sub(pattern, "", text)`.
    bool sub(PyObject* f, PyObject* pattern) const noexcept
    {
        return sub_.is(f) && isPattern(pattern);
    }

private:
    // The module's own object, or an exact str of the same text: `re`
    // compiles (and caches) a pattern by its type and text alone, so any
    // such str matches what the date module's own does.  A str subclass
    // may compare or hash otherwise: not proved.
    bool isPattern(PyObject* p) const noexcept
    {
        return p != nullptr &&
               (p == ownPattern_.get() ||
                (PyUnicode_CheckExact(p) &&
                 PyUnicode_CompareWithASCIIString(p, tzRegexp) == 0));
    }

    PinnedFunction search_, sub_;
    Immortal ownPattern_;
};

}  // namespace vb

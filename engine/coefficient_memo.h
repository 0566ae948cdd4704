#pragma once
// A stage's block coefficients kept from block to block. Every block samples
// the stage's parameters; the coefficients are computed again only where
// those values, or the other inputs named in the key, differ bit for bit from
// the ones they were last computed from. The dB and time conversions behind
// them (powers, logarithms, quotients) otherwise cost about 2 % of a frame at
// host-sized blocks, though the parameters seldom move.
#include <cstring>
#include <new>
#include <type_traits>

namespace qx {

// No input beyond the parameters.
struct NoKey {
    char unused = 0;
};

// Params: a record of relaxed values, copied value by value (each a relaxed
// load). Key: a plain record without padding, compared byte by byte.
template <class Params, class Key, class Coefficients>
class CoefficientMemo {
public:
    static_assert(std::is_trivially_destructible_v<Params> && std::is_trivially_copyable_v<Key>);

    // compute(snapshot of the parameters, key) -> Coefficients, a function of
    // those alone; it sees the snapshot, never values written meanwhile.
    template <class Compute>
    const Coefficients& take(const Params& live, const Key& key, Compute&& compute) {
        // A copy into zeroed bytes, so the padding between values compares
        // equal too (were it not to, the coefficients would only be
        // computed again).
        alignas(Params) unsigned char now[sizeof(Params)] = {};
        const Params& snapshot = *::new (static_cast<void*>(now)) Params(live);
        if (!known_ || std::memcmp(now, params_, sizeof now) != 0 || std::memcmp(&key, &key_, sizeof key) != 0) {
            coefficients_ = compute(snapshot, key);
            std::memcpy(params_, now, sizeof now);
            std::memcpy(&key_, &key, sizeof key);
            known_ = true;
        }
        return coefficients_;
    }

private:
    alignas(Params) unsigned char params_[sizeof(Params)] = {};
    Key key_{};
    Coefficients coefficients_{};
    bool known_ = false;
};

}  // namespace qx

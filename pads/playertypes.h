#pragma once
// Types of the clip player and its transport bar.

#include <cstdint>
#include <initializer_list>

enum TMPModes : std::uint8_t {
    mpNotReady,
    mpStopped,
    mpPlaying,
    mpRecording,
    mpSeeking,
    mpPaused,
    mpOpen
};

enum TMPNotifyValues : std::uint8_t { nvSuccessful, nvSuperseded, nvAborted, nvFailure };

enum TMPBtnType : std::uint8_t {
    btPlay,
    btPause,
    btStop,
    btNext,
    btPrev,
    btStep,
    btBack,
    btRecord,
    btEject
};
constexpr int kButtonCount = 9;

enum TMPDevCaps : std::uint8_t { mpCanStep, mpCanEject, mpCanPlay, mpCanRecord, mpUsesWindow };

// A set of small enumeration values held as bits; bit i stands for the value of ordinal i.
template <typename E, typename Bits> class EnumSet {
public:
    constexpr EnumSet() = default;
    constexpr EnumSet(std::initializer_list<E> values) {
        for (E v : values)
            m_bits |= bit(v);
    }
    static constexpr EnumSet fromBits(Bits bits) {
        EnumSet s;
        s.m_bits = bits;
        return s;
    }
    constexpr Bits bits() const { return m_bits; }
    constexpr bool contains(E v) const { return (m_bits & bit(v)) != 0; }
    constexpr bool empty() const { return m_bits == 0; }
    constexpr void insert(E v) { m_bits |= bit(v); }
    constexpr void remove(E v) { m_bits &= static_cast<Bits>(~bit(v)); }
    constexpr bool operator==(const EnumSet&) const = default;

private:
    static constexpr Bits bit(E v) { return static_cast<Bits>(1u << static_cast<unsigned>(v)); }
    Bits m_bits = 0;
};

using TButtonSet = EnumSet<TMPBtnType, std::uint16_t>;
using TMPDevCapsSet = EnumSet<TMPDevCaps, std::uint8_t>;

// All nine buttons (511).
constexpr TButtonSet kAllButtons = TButtonSet::fromBits(0x1FF);

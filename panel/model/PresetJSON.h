#pragma once

#include "panel/model/StoredPreset.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The stored form of the preset list: one JSON array, one object per preset with the keys "id",
// "name", "selectedEffect", "outputLevel", "monoSumEnabled", "hissOn", "hissLevel", "amFmMode" and
// "effectValues", written in that order.

// The list as compact JSON. Floats are written as the shortest text that reads back as the same
// 32-bit value ("0.1", "75"); a value that is not a finite number is written as its default
// (JSON has no text for it), and text that is not UTF-8 as U+FFFD.
std::string encodePresets(const std::vector<StoredPreset>& presets, const std::vector<EffectRow>& effects);

struct DecodedPresets {
    std::vector<StoredPreset> presets;  // every element that could be read, in stored order
    std::size_t unreadable = 0;         // elements that could not, plus one for broken or extra bytes
    bool isList = true;                 // false when the bytes are not a JSON array at all

    bool complete() const { return isList && unreadable == 0; }
};

// Reads the list element by element, so one unreadable object costs only itself. An object is
// read when all nine keys are there with their types (a string holding a UUID in either case,
// a string, an integer, numbers, booleans and a list of lists of numbers); other keys are
// ignored. A number beyond a double's range ("1e999") is read as the infinity it means, so it
// gets its default as any other value that is not finite; an object nested deeper than
// kMaxJSONNesting is unreadable. Values come back sanitised (`sanitizedPreset`); the number and
// length of the `effectValues` lists are kept as stored.
DecodedPresets decodePresets(std::string_view bytes, const std::vector<EffectRow>& effects);

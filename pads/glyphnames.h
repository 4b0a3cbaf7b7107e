#pragma once

#include "playertypes.h"

// Glyph name of a transport button ("MPPLAY" ...); the images are ":/glyphs/<prefix>_<name>"
// with the prefixes "EN" (enabled), "DI" (disabled) and "CL" (coloured).
const char* glyphName(TMPBtnType button);

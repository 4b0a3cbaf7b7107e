#include "playertypes.h"

#include "glyphnames.h"

const char* glyphName(TMPBtnType button) {
    static constexpr const char* names[kButtonCount] = {"MPPLAY", "MPPAUSE",  "MPSTOP",
                                                        "MPNEXT", "MPPREV",   "MPSTEP",
                                                        "MPBACK", "MPRECORD", "MPEJECT"};
    return names[button];
}

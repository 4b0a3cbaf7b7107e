#include "setlistformat.h"

namespace setlist {

QString key(Field field, int pad) {
    const char* name = "";
    switch (field) {
    case Field::FileName:
        name = "FILENAME";
        break;
    case Field::PlayButton:
        name = "PLAYBTN";
        break;
    case Field::Image:
        name = "IMAGE";
        break;
    case Field::Volume:
        name = "VOLUME";
        break;
    }
    return QStringLiteral("[%1%2]").arg(QLatin1String(name)).arg(pad);
}

} // namespace setlist

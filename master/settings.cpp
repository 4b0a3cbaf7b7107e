#include "settings.h"

#include "errors.h"

namespace settings {

QString dialogWidthKey(const QString& dialogName) {
    return QStringLiteral("dialog/") + dialogName + QStringLiteral("/width");
}

QString dialogHeightKey(const QString& dialogName) {
    return QStringLiteral("dialog/") + dialogName + QStringLiteral("/height");
}

QString path(const QString& dataFolder) {
    return dataFolder.isEmpty() ? QString() : dataFolder + QStringLiteral("/conf/settings.ini");
}

SettingsFile read(const QString& file) {
    SettingsFile settings(file);
    settings.load();
    return settings;
}

SettingsFile readOrEmpty(const QString& file) {
    try {
        return read(file);
    } catch (const ECueError&) {
        return SettingsFile(file);
    }
}

void update(const QString& file, const std::function<void(SettingsFile&)>& change) {
    SettingsFile settings = read(file);
    change(settings);
    settings.save();
}

} // namespace settings

#include "apptitle.h"

#include <QCoreApplication>
#include <QFileInfo>

QString applicationTitleFor(const QString& programFile) {
    QString name = QFileInfo(programFile).fileName();
    const qsizetype dot = name.indexOf(u'.');
    if (dot >= 0)
        name.truncate(dot);
    if (name.size() > 1)
        name = name.left(1) + name.mid(1).toLower();
    return name;
}

QString applicationTitle() {
    return applicationTitleFor(QCoreApplication::applicationFilePath());
}

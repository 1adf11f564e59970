#pragma once
// Qt's own texts (Yes/No buttons, file dialogs) in Spanish, like the rest of the window.

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

// Installs Qt's Spanish translation into app; false when it is not installed on this system.
inline bool InstalarTraduccionQt(QCoreApplication *app)
{
    auto *traductor = new QTranslator(app);
    if (!traductor->load(QLocale(QLocale::Spanish, QLocale::Spain), QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete traductor;
        return false;
    }
    return app->installTranslator(traductor);
}

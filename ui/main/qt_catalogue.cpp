#include "ui/main/qt_catalogue.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace kb::ui {

bool loadQtCatalogue(QCoreApplication& app) {
    const QLocale japanese(QLocale::Japanese, QLocale::Japan);
    // Dates and sizes in the file dialogs follow the same language.
    QLocale::setDefault(japanese);
    auto* catalogue = new QTranslator(&app);
    if (!catalogue->load(japanese, "qtbase", "_", QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete catalogue;
        return false;
    }
    return QCoreApplication::installTranslator(catalogue);
}

} // namespace kb::ui

#pragma once

class QCoreApplication;

namespace kb::ui {

// Installs Qt's Japanese catalogue (qtbase_ja), whatever the locale: the program's interface is Japanese by
// definition, and with it so are Qt's own texts (standard buttons, file dialogs, the overwrite question, the
// line edits' context menus). False when the catalogue is not installed; Qt's texts then stay English.
bool loadQtCatalogue(QCoreApplication& app);

} // namespace kb::ui

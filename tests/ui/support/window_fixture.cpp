#include "window_fixture.h"

namespace kb::test {

WindowFixture::WindowFixture(bool startNow) : dir("kbwin") {
    Store::create(dir / "Kestrelbox.mdb");
    if (startNow)
        start();
}

WindowFixture::~WindowFixture() {
    app.reset();
    QApplication::processEvents();
}

int WindowFixture::start() {
    app = std::make_unique<ui::Application>(dir.path(), prompter, shell, "", false, &clock);
    int status = app->Main();
    prompter.window = app->window();
    return status;
}

void WindowFixture::registerFiles(int set, const std::vector<std::string>& paths) {
    for (const auto& p : paths)
        store().insertCopyData(std::to_string(set), p);
    window().selectTab(window().currentTab());
}

} // namespace kb::test

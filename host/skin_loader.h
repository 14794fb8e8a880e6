#pragma once

#include <QString>
#include <QTranslator>

namespace Application {
class ITranslate;
}

// Answers the toolkit's translation requests from the framework's table:
// the source text alone is the key; a text without entry comes back unchanged.
class QKestrunTranslate : public QTranslator {
    Q_OBJECT
public:
    explicit QKestrunTranslate(Application::ITranslate* table) : table_(table) {}
    QString translate(const char* context, const char* source_text, const char* disambiguation = nullptr,
                      int n = -1) const override;
    bool isEmpty() const override { return false; }

private:
    Application::ITranslate* table_;
};

// Registers the configured skin package and the base package with Qt's
// resource system, follows later skin changes, and records the index in
// main_config.ini. Runs on the GUI thread once the skin component started.
void LoadSkin(int index);

// Loads the default and the language file chosen by the system language into
// the framework's table and installs the translator. Runs on the GUI thread
// once the translation component started.
void SetupTranslation();

// The application style sheet: the shared rules of the base package followed
// by the selected skin's own rules; empty when neither can be read.
QString ApplicationStyleSheet();

// A resource or file as UTF-8 text; empty when it cannot be opened.
QString ReadResourceText(const QString& path);

// The packages registered right now, for the demo and the tests.
QStringList RegisteredSkinPackages();

// Unregisters every package, so that one test process can start the
// framework several times from a clean resource system.
void UnregisterSkinPackagesForTesting();

#include "app/translation.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocale>
#include <QString>
#include <QStringList>
#include <QTranslator>
#include <map>
#include <mutex>
#include <utility>

namespace {

struct Catalogue {
    std::once_flag loaded;
    std::string language;
    QTranslator translator;
    std::mutex mutex;  // guards translator's lookups and texts
    // Translations handed out, kept so the pointers stay valid.
    std::map<std::pair<std::string, std::string>, std::string> texts;
};

Catalogue& TheCatalogue() {
    // Never destroyed: a thread may still translate while the program ends.
    static Catalogue* catalogue = new Catalogue;
    return *catalogue;
}

// The embedded catalogue for `name` ("en-US", "zh_Hans_CN"), or for a shorter form of
// it ("en_US", "en").
bool LoadFor(QTranslator& translator, QString name, QString* loaded) {
    name.replace(u'-', u'_');
    for (;;) {
        // Checked first: load() would fall back to a shorter name by itself.
        const QString file = QStringLiteral(":/i18n/quillon_") + name + QStringLiteral(".qm");
        if (QFile::exists(file) && translator.load(file)) {
            *loaded = name;
            return true;
        }
        const qsizetype cut = name.lastIndexOf(u'_');
        if (cut <= 0)
            return false;
        name.truncate(cut);
    }
}

// Loads into `translator` the first catalogue `languages` ask for; "" when the source
// texts are wanted.
std::string Choose(QTranslator& translator, const QStringList& languages) {
    for (const QString& name : languages) {
        const QLocale locale(name);
        // The C locale asks for the texts as they stand.
        if (locale.language() == QLocale::C)
            return {};
        QString loaded;
        if (LoadFor(translator, name, &loaded))
            return loaded.toStdString();
        // Chinese is the source language: a later choice never overrides it.
        if (locale.language() == QLocale::Chinese)
            return {};
    }
    return {};
}

void Load(Catalogue& catalogue) {
    catalogue.language = Choose(catalogue.translator, QLocale::system().uiLanguages());
}

}  // namespace

std::string LoadTranslation() {
    Catalogue& catalogue = TheCatalogue();
    std::call_once(catalogue.loaded, [&catalogue] { Load(catalogue); });
    if (!catalogue.language.empty() && QCoreApplication::instance() != nullptr)
        QCoreApplication::installTranslator(&catalogue.translator);
    return catalogue.language;
}

std::string CatalogueFor(const std::vector<std::string>& languages) {
    QStringList names;
    for (const std::string& l : languages)
        names.append(QString::fromStdString(l));
    QTranslator translator;
    return Choose(translator, names);
}

const char* Translate(const char* context, const char* text) {
    Catalogue& catalogue = TheCatalogue();
    if (catalogue.language.empty() || text == nullptr || *text == '\0')
        return text;
    std::lock_guard lock(catalogue.mutex);
    const std::pair<std::string, std::string> key(context, text);
    auto found = catalogue.texts.find(key);
    if (found == catalogue.texts.end()) {
        const QString translated = catalogue.translator.translate(context, text);
        found = catalogue.texts
                    .emplace(key, translated.isEmpty() ? key.second : translated.toStdString())
                    .first;
    }
    return found->second.c_str();
}

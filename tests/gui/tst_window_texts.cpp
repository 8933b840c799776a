// Every translation file is current and complete, and the German window shows nothing but its
// translations on its three pages, menus and pop-ups, with accessible names, roles and values.

#include "gui/application_setup.h"

#include "window_test_support.h"

#include <QAccessible>

using namespace OrviPlus;

namespace {

// Source and translation of every message of a .ts file; the translation is empty while unfinished.
QVector<std::pair<QString, QString>> readMessages(const QString &path)
{
    QFile file(path);
    QVector<std::pair<QString, QString>> messages;
    QXmlStreamReader xml(file.open(QIODevice::ReadOnly) ? &file : nullptr);
    while (xml.readNext() != QXmlStreamReader::Invalid && !xml.atEnd()) {
        if (xml.isStartElement() && xml.name() == QLatin1String("source"))
            messages.append({xml.readElementText(), QString()});
        else if (xml.isStartElement() && xml.name() == QLatin1String("translation")
                 && xml.attributes().value(QLatin1String("type")).isEmpty())
            messages.last().second = xml.readElementText();
    }
    return messages;
}

QStringList placeholders(const QString &text)
{
    QStringList found;
    for (auto it = QRegularExpression(QStringLiteral("%\\d+")).globalMatch(text); it.hasNext();)
        found << it.next().captured();
    found.sort();
    return found;
}

// Each line of the texts as patterns for a line shown, the placeholders standing for anything.
QVector<QRegularExpression> linePatterns(const QStringList &texts)
{
    QVector<QRegularExpression> patterns;
    for (const QString &text : texts) {
        for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            QString pattern = QRegularExpression::escape(line);
            pattern.replace(QRegularExpression(QStringLiteral("\\\\%\\d+")), QStringLiteral(".*"));
            patterns << QRegularExpression(QRegularExpression::anchoredPattern(pattern));
        }
    }
    return patterns;
}

bool matchesAny(const QVector<QRegularExpression> &patterns, const QString &line)
{
    return std::any_of(patterns.begin(), patterns.end(),
                       [&](const QRegularExpression &pattern) { return pattern.match(line).hasMatch(); });
}

// What the window itself shows (its pop-ups apart): visible labels, buttons and list lines, and
// every action of its menus.
QStringList shownTexts(QWidget *window)
{
    QStringList texts;
    for (QWidget *widget : window->findChildren<QWidget *>()) {
        if (widget->window() != window || !widget->isVisible())
            continue;
        if (auto *label = qobject_cast<QLabel *>(widget))
            texts << label->text();
        else if (auto *button = qobject_cast<QAbstractButton *>(widget))
            texts << button->text();
        else if (auto *list = qobject_cast<QListWidget *>(widget))
            for (int row = 0; row < list->count(); ++row)
                texts << list->item(row)->text();
    }
    for (QAction *action : window->findChildren<QAction *>())
        texts << action->text();
    return texts;
}

} // namespace

class WindowTextsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        registerMetaTypes();
        installTranslations(QLocale(QLocale::German, QLocale::Germany));
        for (const auto &[source, translation] : readMessages(m_folder.filePath(QStringLiteral("orvi-updater_de.ts")))) {
            m_german.insert(source, translation);
            if (translation != source)
                m_english << source;
        }
        m_germanLines = linePatterns(m_german.values());
        m_englishLines = linePatterns(m_english);
    }

    // lupdate leaves each file as it is; each message is translated with the same placeholders
    // and line breaks.
    void translationFilesCompleteAndCurrent()
    {
        const QStringList files = m_folder.entryList({QStringLiteral("*.ts")});
        QVERIFY(files.contains(QStringLiteral("orvi-updater_de.ts")));
        for (const QString &name : files) {
            const auto messages = readMessages(m_folder.filePath(name));
            QVERIFY2(!messages.isEmpty(), qPrintable(name));
            for (const auto &[source, translation] : messages) {
                const QByteArray where = (name + QLatin1Char(' ') + source).toUtf8();
                QVERIFY2(!translation.isEmpty(), where);
                QVERIFY2(placeholders(translation) == placeholders(source), where);
                QVERIFY2(translation.count(QLatin1Char('\n')) == source.count(QLatin1Char('\n')), where);
            }
            QTemporaryDir scratch;
            const QString updated = scratch.filePath(name);
            QVERIFY(QFile::copy(m_folder.filePath(name), updated));
            QProcess lupdate;
            lupdate.start(QStringLiteral(ORVI_LUPDATE), {QStringLiteral("-locations"), QStringLiteral("none"),
                                                          QStringLiteral("-no-obsolete"),
                                                          m_folder.filePath(QStringLiteral("../sources")),
                                                          QStringLiteral("-ts"), updated});
            QVERIFY(lupdate.waitForFinished(60000) && lupdate.exitCode() == 0);
            QFile before(m_folder.filePath(name)), after(updated);
            QVERIFY(before.open(QIODevice::ReadOnly) && after.open(QIODevice::ReadOnly));
            QVERIFY2(before.readAll() == after.readAll(), qPrintable(name + QStringLiteral(" is not current")));
        }
    }

    // Connect page, device page after a failed check and with a plan, update page while downloading.
    void germanWindow()
    {
        UpdateSite site;
        QVERIFY(site.started());
        PopUpLog popUps;
        WindowUnderTest test(site.url(QStringLiteral("missing.xml")));
        const WindowView &view = test.view;
        QWidget *window = &test.window;
        QTRY_VERIFY(test.checkEnded() && !view.connectText().isEmpty());
        QCOMPARE(untranslated(shownTexts(window)), QString());
        QWidget *statusView = window->findChild<QWidget *>(QStringLiteral("deviceInfo"));
        QCOMPARE(accessibleFault({{statusView, "Device status", QAccessible::Client}}), QString());

        auto device = plugDevice(1, "sim-plus", {0x0310, 0x0312, 1, 1});
        QTRY_COMPARE(view.page(), 1);
        QTest::mouseClick(view.checkButton(), Qt::LeftButton);
        QTRY_COMPARE(popUps.shown.size(), 1);
        QCOMPARE(untranslated(popUps.shown.first().split(QLatin1Char('|'))), QString());
        auto *box = window->findChild<QMessageBox *>();
        QCOMPARE(QAccessible::queryAccessibleInterface(box)->role(), QAccessible::AlertMessage);
        popUps.take();

        test.settings.setUpdateManifestUrl(site.publish(
                "ORVI+", {{OrviSim::Component::Mcu, 0x0312, 20000, QStringLiteral("3.1.2"), QStringLiteral("slow=100")}}));
        QTest::mouseClick(view.checkButton(), Qt::LeftButton);
        QTRY_VERIFY(view.startButton()->isEnabled());
        QCOMPARE(untranslated(shownTexts(window)), QString());
        const auto messages = view.pages()->widget(1)->findChildren<MessageBox *>();
        QCOMPARE(accessibleFault({{view.checkButton(), "Check for Latest Updates", QAccessible::Button},
                                  {view.startButton(), "Start Update", QAccessible::Button},
                                  {window->findChild<QListWidget *>(), "Available updates", QAccessible::List},
                                  {messages.value(0), "Warnings", QAccessible::Client},
                                  {messages.value(1), "Update check", QAccessible::Client}}),
                 QString());

        QTest::mouseClick(view.startButton(), Qt::LeftButton);
        QTRY_VERIFY(view.page() == 2 && view.bar(0)->value() > 0);
        QCOMPARE(untranslated(shownTexts(window)), QString());
        QCOMPARE(accessibleFault({{view.bar(0), "Download progress", QAccessible::ProgressBar},
                                  {view.bar(1), "Installation progress", QAccessible::ProgressBar},
                                  {view.pages()->widget(2)->findChild<MessageBox *>(), "Update status",
                                   QAccessible::Client}}),
                 QString());
        for (QProgressBar *bar : {view.bar(0), view.bar(1)}) {
            QAccessibleValueInterface *value = QAccessible::queryAccessibleInterface(bar)->valueInterface();
            QVERIFY(value);
            QCOMPARE(value->currentValue().toInt(), bar->value());
            QCOMPARE(value->maximumValue().toInt(), 100);
        }
        HidSim::unplug("sim-plus");
        QTRY_COMPARE(view.page(), 0);
    }

private:
    struct Named
    {
        QWidget *widget;
        const char *name; // the English source of its German name
        QAccessible::Role role;
    };

    // The first line of the texts that is not German, or an empty string.
    QString untranslated(const QStringList &texts) const
    {
        for (const QString &text : texts)
            for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
                if (!matchesAny(m_germanLines, line) || matchesAny(m_englishLines, line))
                    return line;
        return QString();
    }

    // The first widget whose accessible name or role is not the expected one, or an empty string.
    QString accessibleFault(const QVector<Named> &widgets) const
    {
        for (const Named &named : widgets) {
            QAccessibleInterface *iface = named.widget ? QAccessible::queryAccessibleInterface(named.widget) : nullptr;
            const QString expected = m_german.value(QString::fromLatin1(named.name));
            if (!iface || expected.isEmpty() || iface->text(QAccessible::Name) != expected || iface->role() != named.role)
                return QString::fromLatin1(named.name);
        }
        return QString();
    }

    QDir m_folder{qEnvironmentVariable("ORVI_SOURCE_DIR") + QStringLiteral("/translations")};
    QHash<QString, QString> m_german;
    QStringList m_english;
    QVector<QRegularExpression> m_germanLines;
    QVector<QRegularExpression> m_englishLines;
};

QTEST_MAIN(WindowTextsTest)
#include "tst_window_texts.moc"

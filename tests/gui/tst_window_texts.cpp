// Every translation file is current and complete, and the German window shows nothing but its
// translations on its three pages, menus and pop-ups, with translated accessible names.

#include "gui/application_setup.h"

#include "window_test_support.h"

namespace {

// Source and translation of every message of a .ts file; the translation is empty while unfinished.
QVector<std::pair<QString, QString>> readMessages(const QString &path)
{
    QFile file(path);
    QXmlStreamReader xml(file.open(QIODevice::ReadOnly) ? &file : nullptr);
    QVector<std::pair<QString, QString>> messages;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == QLatin1String("source"))
            messages.append({xml.readElementText(), QString()});
        else if (xml.isStartElement() && xml.name() == QLatin1String("translation"))
            messages.last().second = xml.attributes().hasAttribute(QLatin1String("type")) ? QString()
                                                                                           : xml.readElementText();
    }
    return messages;
}

// The placeholders and line breaks of a text, in order of their names.
QStringList placeholders(const QString &text)
{
    QStringList found;
    for (auto it = QRegularExpression(QStringLiteral("%\\d+|\n")).globalMatch(text); it.hasNext();)
        found << it.next().captured();
    found.sort();
    return found;
}

} // namespace

class WindowTextsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        OrviPlus::registerMetaTypes();
        OrviPlus::installTranslations(QLocale(QLocale::German, QLocale::Germany));
        for (const auto &[source, translation] : readMessages(m_folder.filePath(QStringLiteral("orvi-updater_de.ts"))))
            m_german.insert(source, translation);
        QVERIFY(!m_german.isEmpty());
        // Any line of a German translation, its placeholders standing for anything.
        QString lines = QRegularExpression::escape(QStringList(m_german.values()).join(QLatin1Char('\n')));
        lines.replace(QStringLiteral("\\\n"), QStringLiteral("|"));
        lines.replace(QRegularExpression(QStringLiteral("\\\\%\\d+")), QStringLiteral(".*"));
        m_notGerman.setPattern(QStringLiteral("\\A(?!(?:%1)\\z)").arg(lines));
    }

    // lupdate leaves each file as it is; each message is translated with the same placeholders
    // and line breaks.
    void translationFilesCompleteAndCurrent()
    {
        for (const QString &name : m_folder.entryList({QStringLiteral("*.ts")})) {
            for (const auto &[source, translation] : readMessages(m_folder.filePath(name))) {
                QVERIFY2(!translation.isEmpty(), qPrintable(source));
                QVERIFY2(placeholders(translation) == placeholders(source), qPrintable(source));
            }
            QTemporaryDir scratch;
            const QString updated = scratch.filePath(name);
            QVERIFY(QFile::copy(m_folder.filePath(name), updated));
            const QStringList arguments = {QStringLiteral("-locations"), QStringLiteral("none"), QStringLiteral("-no-obsolete"),
                                           m_folder.filePath(QStringLiteral("../sources")), QStringLiteral("-ts"), updated};
            QCOMPARE(QProcess::execute(QStringLiteral(ORVI_LUPDATE), arguments), 0);
            QCOMPARE(QProcess::execute(QStringLiteral("diff"), {QStringLiteral("-u"), m_folder.filePath(name), updated}), 0);
        }
    }

    void germanWindow()
    {
        UpdateSite site;
        QVERIFY(site.started());
        PopUpLog popUps;
        WindowUnderTest test(site.url(QStringLiteral("manifest.xml")));
        const WindowView &view = test.view;
        const ServedComponent mcu{OrviSim::Component::Mcu, 0x0312, 20000, QStringLiteral("3.1.2"), QStringLiteral("slow=100")};
        // What happens and when the window has answered: the connect page, the device page, a failed
        // check (nothing published yet), a plan, and the update page while downloading.
        const std::pair<std::function<void()>, std::function<bool()>> visits[] = {
                {[] {}, [&] { return test.checkEnded() && !view.connectText().isEmpty(); }},
                {[] { plugDevice(1, "sim-plus", {0x0310, 0x0312, 1, 1}); }, [&] { return view.page() == 1; }},
                {[&] { view.checkButton()->click(); }, [&] { return popUps.shown.size() == 1; }},
                {[&] { site.publish("ORVI+", {mcu}); }, [&] { return view.page() == 1; }},
                {[&] { view.checkButton()->click(); }, [&] { return view.startButton()->isEnabled(); }},
                {[&] { view.startButton()->click(); }, [&] { return view.page() == 2 && view.bar(0)->value() > 0; }}};
        for (const auto &[act, answered] : visits) {
            act();
            QTRY_VERIFY(answered());
            const QString shown = (view.shownTexts() + popUps.take()).join(QLatin1Char('\n'));
            QCOMPARE(shown.split(m_lineEnd, Qt::SkipEmptyParts).filter(m_notGerman).join(QLatin1Char('\n')), QString());
        }

        const auto messages = view.pages()->widget(1)->findChildren<OrviPlus::MessageBox *>();
        const std::pair<QWidget *, const char *> named[] = {
                {test.window.findChild<QWidget *>(QStringLiteral("deviceInfo")), "Device status"},
                {test.window.findChild<QListWidget *>(), "Available updates"},
                {messages.value(0), "Warnings"}, {messages.value(1), "Update check"},
                {view.bar(0), "Download progress"}, {view.bar(1), "Installation progress"},
                {view.pages()->widget(2)->findChild<OrviPlus::MessageBox *>(), "Update status"}};
        for (const auto &[widget, source] : named)
            QCOMPARE(widget ? widget->accessibleName() : QString(),
                     m_german.value(QLatin1String(source), QLatin1String(source)));
    }

private:
    QDir m_folder{qEnvironmentVariable("ORVI_SOURCE_DIR") + QStringLiteral("/translations")};
    QHash<QString, QString> m_german;
    QRegularExpression m_notGerman; // a line that no German translation has
    QRegularExpression m_lineEnd{QStringLiteral("[\n|]")}; // pop-ups are "Title|Text"
};

QTEST_MAIN(WindowTextsTest)
#include "tst_window_texts.moc"

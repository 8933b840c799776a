#include "settings/configuration_manager.h"

#include <QFile>
#include <QSettings>
#include <QtTest>

#include <utility>

#include "message_log.h"

using OrviPlus::ConfigurationManager;

static const QUrl chosenUrl(QStringLiteral("http://127.0.0.1:8080/chosen/manifest.xml"));

class TestConfigurationManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCoreApplication::setApplicationName(QStringLiteral("Orvi Updater"));
        QCoreApplication::setOrganizationDomain(QStringLiteral("brevanto.example"));
        QCoreApplication::setOrganizationName(QStringLiteral("Brevanto"));
        const QString privateFolder = qEnvironmentVariable("XDG_CONFIG_HOME");
        QVERIFY2(!privateFolder.isEmpty() && QSettings().fileName().startsWith(privateFolder + '/'),
                 "refusing to run against the user's own settings");
    }

    void storeIsClearedUnlessItHasAVersion()
    {
        // The version found in the store (none: invalid), and whether what it holds is kept.
        const std::pair<QVariant, bool> stores[] = {{QVariant(), false}, {-3, false}, {1, true}};
        for (const auto &[storedVersion, kept] : stores) {
            {
                QSettings store;
                store.clear();
                if (storedVersion.isValid())
                    store.setValue("version", storedVersion);
                store.setValue("update/manifest-url", chosenUrl);
                store.setValue("window/geometry", QByteArray("earlier"));
            }
            ConfigurationManager manager;
            QCOMPARE(manager.updateManifestUrl(), kept ? chosenUrl : ConfigurationManager::defaultUpdateManifestUrl());
            QSettings store;
            QCOMPARE(store.allKeys().size(), kept ? 3 : 1);
            QCOMPARE(store.value("version").toInt(), 1);
            // Not pinned to today's default: a later release's default applies.
            manager.resetUpdateManifestUrl();
            QVERIFY(!QSettings().contains("update/manifest-url"));
        }
    }

    void unwritableStoreIsNamedAndTheProgramGoesOn()
    {
        // A file where the settings folder should be: nobody, root included, can write beneath it.
        QTemporaryFile blocker;
        QVERIFY(blocker.open());
        const QString folder = blocker.fileName() + QStringLiteral("/config");
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder);
        MessageLog log;
        {
            ConfigurationManager manager;
            manager.setUpdateManifestUrl(chosenUrl);
            QCOMPARE(manager.updateManifestUrl(), chosenUrl); // for as long as it runs
        }
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, qEnvironmentVariable("XDG_CONFIG_HOME"));
        const QString warning = QStringLiteral("Configuration manager: cannot save the settings to \"%1/Brevanto/Orvi Updater.conf\"")
                                        .arg(folder);
        QCOMPARE(log.lines().filter(QStringLiteral("cannot save")), QStringList({warning, warning}));
    }
};

QTEST_GUILESS_MAIN(TestConfigurationManager)
#include "tst_configuration_manager.moc"

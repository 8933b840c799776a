<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>OrviPlus::ApplicationSetup</name>
    <message>
        <source>Another instance of the application is already running.</source>
        <translation>Eine andere Instanz des Programms läuft bereits.</translation>
    </message>
</context>
<context>
    <name>OrviPlus::ComponentType</name>
    <message>
        <source>MCU Firmware</source>
        <translation>MCU-Firmware</translation>
    </message>
    <message>
        <source>DSP Firmware</source>
        <translation>DSP-Firmware</translation>
    </message>
    <message>
        <source>Styles</source>
        <translation>Styles</translation>
    </message>
    <message>
        <source>Ensemble Audio</source>
        <translation>Ensemble-Audio</translation>
    </message>
    <message>
        <source>Windows Application</source>
        <translation>Windows-Programm</translation>
    </message>
    <message>
        <source>Mac OS X Application</source>
        <translation>Mac-OS-X-Programm</translation>
    </message>
    <message>
        <source>Unknown Component</source>
        <translation>Unbekannte Komponente</translation>
    </message>
</context>
<context>
    <name>OrviPlus::DeviceStatusView</name>
    <message>
        <source>%1 Connected</source>
        <extracomment>%1 is the device&apos;s model, Orvi or Orvi+.</extracomment>
        <translation>%1 verbunden</translation>
    </message>
    <message>
        <source>%1:   %2</source>
        <extracomment>A part of the device and its version, &quot;MCU: Production 1.4&quot;.</extracomment>
        <translation>%1:   %2</translation>
    </message>
</context>
<context>
    <name>OrviPlus::MainWindow</name>
    <message>
        <source>Device status</source>
        <translation>Gerätestatus</translation>
    </message>
    <message>
        <source>Check for Latest Updates</source>
        <translation>Nach Updates suchen</translation>
    </message>
    <message>
        <source>Fetches the list of updates from the server and compares it with the device.</source>
        <translation>Lädt die Liste der Updates vom Server und vergleicht sie mit dem Gerät.</translation>
    </message>
    <message>
        <source>Warnings</source>
        <translation>Warnungen</translation>
    </message>
    <message>
        <source>Update check</source>
        <translation>Update-Suche</translation>
    </message>
    <message>
        <source>Available updates</source>
        <translation>Verfügbare Updates</translation>
    </message>
    <message>
        <source>Start Update</source>
        <translation>Update starten</translation>
    </message>
    <message>
        <source>Installs the listed components on the device one by one.</source>
        <translation>Installiert die aufgeführten Komponenten nacheinander auf dem Gerät.</translation>
    </message>
    <message>
        <source>Download progress</source>
        <translation>Fortschritt des Downloads</translation>
    </message>
    <message>
        <source>Installation progress</source>
        <translation>Fortschritt der Installation</translation>
    </message>
    <message>
        <source>Update status</source>
        <translation>Update-Status</translation>
    </message>
    <message>
        <source>Advanced</source>
        <translation>Erweitert</translation>
    </message>
    <message>
        <source>Install %1...</source>
        <translation>%1 installieren...</translation>
    </message>
    <message>
        <source>List All Components</source>
        <translation>Alle Komponenten auflisten</translation>
    </message>
    <message>
        <source>Set Manifest URL...</source>
        <translation>Manifest-URL festlegen...</translation>
    </message>
    <message>
        <source>&amp;File</source>
        <translation>&amp;Datei</translation>
    </message>
    <message>
        <source>Check for New Version of Orvi Updater</source>
        <translation>Nach neuer Version von Orvi Updater suchen</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>&amp;Beenden</translation>
    </message>
    <message>
        <source>&amp;Help</source>
        <translation>&amp;Hilfe</translation>
    </message>
    <message>
        <source>About %1...</source>
        <translation>Über %1...</translation>
    </message>
    <message>
        <source>Connection Failure</source>
        <translation>Verbindungsfehler</translation>
    </message>
    <message>
        <source>Failed to connect to device.</source>
        <translation>Die Verbindung zum Gerät ist fehlgeschlagen.</translation>
    </message>
    <message>
        <source>No device connected</source>
        <translation>Kein Gerät verbunden</translation>
    </message>
    <message>
        <source>Waiting...</source>
        <translation>Bitte warten...</translation>
    </message>
    <message>
        <source>Please connect a ORVI device.</source>
        <translation>Bitte schließen Sie ein ORVI-Gerät an.</translation>
    </message>
    <message>
        <source>Waiting for the ORVI device to get ready...</source>
        <translation>Warten, bis das ORVI-Gerät bereit ist...</translation>
    </message>
    <message>
        <source>Checking for latest updates...</source>
        <translation>Suche nach Updates...</translation>
    </message>
    <message>
        <source>Please do NOT disconnect or power down the device!</source>
        <translation>Bitte trennen Sie das Gerät NICHT und schalten Sie es NICHT aus!</translation>
    </message>
    <message>
        <source>Update in progress...

Please DO NOT disconnect or power down the device!</source>
        <translation>Update läuft...

Bitte trennen Sie das Gerät NICHT und schalten Sie es NICHT aus!</translation>
    </message>
    <message>
        <source>Waiting for confirmation that the update is finished...

Please DO NOT disconnect or power down the device!</source>
        <translation>Warten auf die Bestätigung, dass das Update abgeschlossen ist...

Bitte trennen Sie das Gerät NICHT und schalten Sie es NICHT aus!</translation>
    </message>
    <message>
        <source>Waiting for the device to reboot...</source>
        <translation>Warten auf den Neustart des Geräts...</translation>
    </message>
    <message>
        <source>Waiting for the device to enter update mode...

Please DO NOT disconnect or power down the device!</source>
        <translation>Warten, bis das Gerät in den Update-Modus wechselt...

Bitte trennen Sie das Gerät NICHT und schalten Sie es NICHT aus!</translation>
    </message>
    <message>
        <source>Update Failure</source>
        <translation>Update fehlgeschlagen</translation>
    </message>
    <message>
        <source>The update could not be completed.</source>
        <translation>Das Update konnte nicht abgeschlossen werden.</translation>
    </message>
    <message>
        <source>Please power-cycle the device now.</source>
        <translation>Bitte schalten Sie das Gerät jetzt aus und wieder ein.</translation>
    </message>
    <message>
        <source>Download Failure</source>
        <translation>Download fehlgeschlagen</translation>
    </message>
    <message>
        <source>Failed to download updates.</source>
        <translation>Die Updates konnten nicht heruntergeladen werden.</translation>
    </message>
    <message>
        <source>Reboot Failure</source>
        <translation>Neustart fehlgeschlagen</translation>
    </message>
    <message>
        <source>The device failed to reboot after update.</source>
        <translation>Das Gerät ist nach dem Update nicht neu gestartet.</translation>
    </message>
    <message>
        <source>Update Check Failure</source>
        <translation>Update-Suche fehlgeschlagen</translation>
    </message>
    <message>
        <source>Failed to check for updates!</source>
        <translation>Die Suche nach Updates ist fehlgeschlagen!</translation>
    </message>
    <message>
        <source>Failed to check for new version of Orvi Updater.</source>
        <translation>Die Suche nach einer neuen Version von Orvi Updater ist fehlgeschlagen.</translation>
    </message>
    <message>
        <source>About %1</source>
        <translation>Über %1</translation>
    </message>
    <message>
        <source>&lt;b&gt;%1 version %2&lt;/b&gt;</source>
        <translation>&lt;b&gt;%1 Version %2&lt;/b&gt;</translation>
    </message>
    <message>
        <source>Set Manifest URL</source>
        <translation>Manifest-URL festlegen</translation>
    </message>
    <message>
        <source>Please enter the URL of the update manifest file.</source>
        <translation>Bitte geben Sie die URL der Update-Manifestdatei ein.</translation>
    </message>
    <message>
        <source>Invalid Manifest URL</source>
        <translation>Ungültige Manifest-URL</translation>
    </message>
    <message>
        <source>The entered text is not a valid URL. Please enter a valid URL.</source>
        <translation>Der eingegebene Text ist keine gültige URL. Bitte geben Sie eine gültige URL ein.</translation>
    </message>
    <message>
        <source>Update in Progress</source>
        <translation>Update läuft</translation>
    </message>
    <message>
        <source>An update is in progress. Quitting now will abort the update.

Are you sure you want to quit?
</source>
        <translation>Ein Update läuft. Wenn Sie das Programm jetzt beenden, wird das Update abgebrochen.

Möchten Sie das Programm wirklich beenden?
</translation>
    </message>
    <message>
        <source>WARNING:</source>
        <translation>WARNUNG:</translation>
    </message>
    <message>
        <source>The following components can be updated (last checked on %1):</source>
        <translation>Die folgenden Komponenten können aktualisiert werden (zuletzt geprüft am %1):</translation>
    </message>
    <message>
        <source>No updates available (last checked on %1).</source>
        <translation>Keine Updates verfügbar (zuletzt geprüft am %1).</translation>
    </message>
    <message>
        <source>Updating %1 (Component %2/%3)</source>
        <translation>%1 wird aktualisiert (Komponente %2/%3)</translation>
    </message>
    <message>
        <source>Downloading (%1 KB)</source>
        <translation>Herunterladen (%1 KB)</translation>
    </message>
    <message>
        <source>Downloading</source>
        <translation>Herunterladen</translation>
    </message>
    <message>
        <source>Installing</source>
        <translation>Installieren</translation>
    </message>
    <message>
        <source>Installing (%1 KB)</source>
        <translation>Installieren (%1 KB)</translation>
    </message>
    <message>
        <source>Select %1</source>
        <translation>%1 auswählen</translation>
    </message>
    <message>
        <source>Invalid File</source>
        <translation>Ungültige Datei</translation>
    </message>
    <message>
        <source>This file does not seem to be a valid %1</source>
        <translation>Diese Datei ist offenbar keine gültige Datei vom Typ %1</translation>
    </message>
    <message>
        <source>No updates available for Orvi Updater.</source>
        <translation>Für Orvi Updater sind keine Updates verfügbar.</translation>
    </message>
    <message>
        <source>New Orvi Updater version %1 is available.

Would you like to quit this application and install the new version?

</source>
        <translation>Eine neue Version von Orvi Updater (%1) ist verfügbar.

Möchten Sie dieses Programm beenden und die neue Version installieren?

</translation>
    </message>
    <message>
        <source>ddd MMM d HH:mm:ss yyyy</source>
        <extracomment>How the time of the last check is written (QDateTime::toString); the English one is Qt::TextDate.</extracomment>
        <translation>dd.MM.yyyy HH:mm:ss</translation>
    </message>
    <message>
        <source>Update finished</source>
        <translation>Update abgeschlossen</translation>
    </message>
    <message>
        <source>All components were installed on the %1.</source>
        <translation>Alle Komponenten wurden auf dem %1 installiert.</translation>
    </message>
</context>
<context>
    <name>OrviPlus::UpdatePlan</name>
    <message>
        <source>An MCU update is available but your current MCU firmware cannot be updated by USB. It must be programmed directly into the MCU.</source>
        <translation>Ein MCU-Update ist verfügbar, aber Ihre aktuelle MCU-Firmware kann nicht über USB aktualisiert werden. Sie muss direkt in die MCU programmiert werden.</translation>
    </message>
    <message>
        <source>%1: Version %2, Size %3 KB</source>
        <translation>%1: Version %2, Größe %3 KB</translation>
    </message>
</context>
<context>
    <name>OrviPlus::VersionText</name>
    <message>
        <source>Alpha</source>
        <translation>Alpha</translation>
    </message>
    <message>
        <source>Beta</source>
        <translation>Beta</translation>
    </message>
    <message>
        <source>Pre-production</source>
        <translation>Vorserie</translation>
    </message>
    <message>
        <source>Production</source>
        <translation>Serie</translation>
    </message>
    <message>
        <source>MCU</source>
        <translation>MCU</translation>
    </message>
    <message>
        <source>DSP</source>
        <translation>DSP</translation>
    </message>
    <message>
        <source>Styles</source>
        <translation>Styles</translation>
    </message>
    <message>
        <source>Ensemble</source>
        <translation>Ensemble</translation>
    </message>
</context>
</TS>

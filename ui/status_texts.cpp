#include "ui/status_texts.h"

#include "platform/text.h"

namespace {

// The close reason under a closed channel; %s is the extended string the
// cloud sent (the other tunnel's address, or the number of conflicting ones).
TStatusText channelCloseReasonText(const TSlotStatus& c) {
    const std::string extended = ansiToText(c.datasourceExtended);
    switch (c.datasourceCloseReason) {
    case crUnknown:
        return {"Нет информации", iconYellow};
    case crClosedDueToOpenErrorDueToInterferedTunnel:
        return {Format("Ошибка открытия туннеля, из-за уже установленного другого туннеля, с ip "
                       "адреса %s",
                       extended.c_str()),
                iconRed};
    case crClosedDueToOpenErrorDueToMultipleInterferedTunnels:
        return {Format("Ошибка открытия туннеля, из-за уже установленных %s конфликтующих "
                       "туннелей",
                       extended.c_str()),
                iconRed};
    case crClosedDueToOpenError:
        return {"Ошибка открытия туннеля", iconRed};
    case crClosedTemporarilyDueToNeedToBeReopened:
        return {"Туннель времмено закрыт", iconYellow};
    case crClosedDueToInterferedTunnel:
        return {Format("Туннель закрыт из-за того, что с ip адреса %s был открыт новый туннель, с "
                       "конфликтующими настройками",
                       extended.c_str()),
                iconRed};
    case crClosedDueToLocalChannelClosed:
        return {"Туннель закрыт, т.к. локальный канал закрыт", iconYellow};
    case crClosedByDevice:
        return {"Туннель закрыт удаленным устройством", iconYellow};
    case crClosedDueToWebserverTimeout:
        return {"Туннель закрыт из-за таймаута источника данных с веб сервером", iconYellow};
    case crClosedDueToOpenErrorDueToBadParameters:
        return {"Ошибка открытия туннеля, из-за некорректных параметров", iconYellow};
    case crClosedDueToConnectionLost:
        return {"Соединение потеряно", iconYellow};
    }
    return {"", iconYellow};
}

} // namespace

TStatusText comportStatusText(const TSlotStatus& c) {
    switch (c.comportStatus) {
    case c0mPortUnknown:
        return {"Нет информации", iconGrey};
    case c0mPOrtClosed:
        return {"Порт не открыт", iconGrey};
    case c0mPortOpenError:
        return {"Порт не открыт туннелем, ошибка открытия порта", iconRed};
    case c0mPOrtNotOpenedByApp:
        return {"Порт не открыт сторонним приложением", iconYellow};
    case c0mPortOpened:
        // With the framing the remote device was told, once the program set it.
        return {c.portFraming.empty() ? "Порт открыт сторонним приложением"
                                      : "Порт открыт сторонним приложением, " + c.portFraming,
                iconGreen};
    }
    return {"", iconGrey};
}

TStatusText tunnelStatusText(const TSlotStatus& c) {
    switch (c.zvlConnectionStatus) {
    case zvlUnknown:
        return {"Нет информации", iconGrey};
    case zvlConnecting:
        return {"Устанавливается подключение...", iconYellow};
    case zvlConnectedButNotAuthorizedYet:
        return {"Подключение установлено, но пока не авторизовано", iconYellow};
    case zvlConnectedAndAuthorized:
        return datasourceStatusText(c);
    case zvlDisconnected: {
        const TStatusText reason = closeReasonText(c);
        return {Format("Не подключен к серверу: %s", reason.text.c_str()), reason.icon};
    }
    }
    return {"", iconRed};
}

TStatusText closeReasonText(const TSlotStatus& c) {
    switch (c.zvlCloseReason) {
    case zvlCloseReason_notYetConnected:
        return {"Не произведено подключение", iconGrey};
    case zvlCloseReason_BadTunnelKey:
        return {"Ошибка в ключе туннеля", iconRed};
    case zvlCloseReason_ConnectionError:
        return {"Ошибка подключения к серверу", iconRed};
    case zvlCloseReason_Datasource:
        // Red whatever the data source text's own icon would be.
        return {
            Format("Ошибка, источник данных сообщает: %s", datasourceStatusText(c).text.c_str()),
            iconRed};
    case zvlCloseReason_ReconnectToADifferentServer:
        return {"Переподключаемся к серверу назначения", iconYellow};
    case zvlConnectionClosedUnexpectedly:
        return {"Соединение было неожиданно закрыто", iconRed};
    }
    return {"", iconRed};
}

TStatusText datasourceStatusText(const TSlotStatus& c) {
    if (!c.datasourceConnectedToServer)
        return {"Удаленное устройство не подключено к серверу", iconYellow};
    switch (c.datasourceChannelState) {
    case dcsUnknown:
        return {"Подключение установлено, но от источника данных пока нет информации", iconYellow};
    case dcsConnecting:
        return {"Производится подключение туннеля", iconYellow};
    case dcsConnected:
        return {"Туннель открыт", iconGreen};
    case dcsClosed: {
        const TStatusText reason = channelCloseReasonText(c);
        return {Format("Тунель закрыт: %s", reason.text.c_str()), reason.icon};
    }
    }
    return {"", iconRed};
}

TStatusText comportStatusText(const TConnection& connection) {
    return comportStatusText(slotStatusOf(connection));
}

TStatusText tunnelStatusText(const TConnection& connection) {
    return tunnelStatusText(slotStatusOf(connection));
}

TStatusText closeReasonText(const TConnection& connection) {
    return closeReasonText(slotStatusOf(connection));
}

TStatusText datasourceStatusText(const TConnection& connection) {
    return datasourceStatusText(slotStatusOf(connection));
}

TStatusText slotStatusText(TSlotType kind, const TSlotStatus& status) {
    return kind == stComPort ? comportStatusText(status) : tunnelStatusText(status);
}

std::string portText(const TPortInfo& port) {
    switch (port.state) {
    case TPortInfo::Installing:
        return "Идет установка драйвера..";
    case TPortInfo::NotFound:
        return "Порт не найден";
    case TPortInfo::Ready:
        break;
    }
    return port.path;
}

std::string trafficText(uint32_t sent, uint32_t received) {
    return Format("S/R: %u/%u b", sent, received);
}

std::string messageText(const TTunnelMessage& message) {
    switch (message.kind) {
    case TTunnelErrorKind::NoComPort:
        return "Не создан локальный COM-порт";
    case TTunnelErrorKind::NoKey:
        if (message.position > 0)
            return Format("Туннель %zu: не указан ключ туннеля", message.position);
        return "Не указан ключ туннеля";
    case TTunnelErrorKind::KeyTooLong:
        return Format("Туннель %zu: ключ туннеля длиннее 255 символов", message.position);
    case TTunnelErrorKind::KeyUnreadable:
        return Format("Туннель %zu: ключ туннеля не читается (недопустимые символы)",
                      message.position);
    case TTunnelErrorKind::StoredEntry:
        return Format("Туннель %zu: запись в файле настроек не может быть использована: %s",
                      message.position, message.detail.c_str());
    case TTunnelErrorKind::PairListSetAside:
        return "Список виртуальных COM-портов не удалось прочитать, он отложен: " + message.detail;
    case TTunnelErrorKind::TooFewSlots:
        return "В \"хабе\" должно быть сконфигурировано как минимум 2 ендпоинта.";
    case TTunnelErrorKind::LearningFailed:
        if (message.detail.empty())
            return closeReasonText(message.status).text;
        return closeReasonText(message.status).text + "\nСервер: " + message.detail;
    case TTunnelErrorKind::DuplicateKey:
        return Format("Этот ключ уже указан в туннеле %zu. Один ключ нельзя применить к двум "
                      "туннелям: они мешали бы друг другу.",
                      message.otherTunnel);
    case TTunnelErrorKind::UnsupportedTunnel:
        return "Ошибка конфигурирования туннеля. Возможно нужно обновить Zelvane Tunnel";
    case TTunnelErrorKind::TakenOver:
        return tunnelStatusText(message.status).text;
    case TTunnelErrorKind::SettingsFile:
    case TTunnelErrorKind::PortPairs:
        break;
    }
    return message.detail;
}

std::string deleteTunnelQuestionText(size_t number) {
    return Format("Удалить туннель %zu и его виртуальный порт?", number);
}

std::string learningText(const std::string& server) {
    return "Проверка ключа на сервере " + server + "...";
}

std::string trayToolTipText(bool work, const TTunnelCounts& counts) {
    std::string text = "Zelvane Tunnel\n";
    if (counts.tunnels == 0)
        return text + "Туннелей нет";
    if (!work)
        return text + Format("Конфигурирование, туннелей: %zu", counts.tunnels);
    text += Format("Работа, туннелей: %zu\nПодключено: %zu", counts.tunnels, counts.connected);
    if (counts.failing > 0)
        text += Format("\nС ошибкой: %zu", counts.failing);
    return text;
}

std::string tunnelPausedText(const TConflictQuestion& question) {
    return Format("Tunnel %d paused: its channel is held by another computer (%s); the other "
                  "tunnels keep working",
                  question.number, ansiToText(question.otherAddress).c_str());
}

std::string conflictQuestionText(const TConflictQuestion& question) {
    return Format("Туннель #%d: с ip-адреса %s уже установлен другой туннель, который не позволяет "
                  "работать этому туннелю. Повторить попытку и завершить мешающий туннель?",
                  question.number, ansiToText(question.otherAddress).c_str());
}

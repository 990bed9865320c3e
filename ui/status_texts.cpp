#include "ui/status_texts.h"

#include "platform/text.h"

namespace {

// The close reason under a closed channel; %s is the extended string the
// cloud sent (the other tunnel's address, or the number of conflicting ones).
TStatusText channelCloseReasonText(const TConnection& c) {
    const std::string extended = ansiToText(c.datasourceChannelStateExtendedString.get());
    switch (c.datasourceCloseReason.load()) {
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

TStatusText comportStatusText(const TConnection& c) {
    switch (c.comportStatus.load()) {
    case c0mPortUnknown:
        return {"Нет информации", iconGrey};
    case c0mPOrtClosed:
        return {"Порт не открыт", iconGrey};
    case c0mPortOpenError:
        return {"Порт не открыт туннелем, ошибка открытия порта", iconRed};
    case c0mPOrtNotOpenedByApp:
        return {"Порт не открыт сторонним приложением", iconYellow};
    case c0mPortOpened:
        return {"Порт открыт сторонним приложением", iconGreen};
    }
    return {"", iconGrey};
}

TStatusText tunnelStatusText(const TConnection& c) {
    switch (c.zvlConnectionStatus.load()) {
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

TStatusText closeReasonText(const TConnection& c) {
    switch (c.zvlCloseReason.load()) {
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

TStatusText datasourceStatusText(const TConnection& c) {
    if (!c.datasourceConnectedToServer.load())
        return {"Удаленное устройство не подключено к серверу", iconYellow};
    switch (c.datasourceChannelState.load()) {
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

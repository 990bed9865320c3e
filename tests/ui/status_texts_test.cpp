#include "ui/status_texts.h"

#include <gtest/gtest.h>

namespace {

// The values a slot's worker reports; the data source is connected unless a
// case says otherwise.
struct Status : TSlotStatus {
    Status() { datasourceConnectedToServer = true; }
};

std::unique_ptr<TConnection> record(const Status& s) {
    auto c = std::make_unique<TConnection>();
    c->zvlConnectionStatus = s.zvlConnectionStatus;
    c->zvlCloseReason = s.zvlCloseReason;
    c->datasourceConnectedToServer = s.datasourceConnectedToServer;
    c->datasourceChannelState = s.datasourceChannelState;
    c->datasourceCloseReason = s.datasourceCloseReason;
    c->datasourceChannelStateExtendedString.set(s.datasourceExtended);
    c->comportStatus = s.comportStatus;
    c->portFraming.set(s.portFraming);
    return c;
}

template <class E> E outside() {
    return static_cast<E>(200);
}

struct Case {
    Status status;
    std::string text;
    int icon;
};

void expectTexts(TStatusText (*function)(const TConnection&), const std::vector<Case>& cases) {
    for (size_t i = 0; i < cases.size(); ++i) {
        const TStatusText result = function(*record(cases[i].status));
        EXPECT_EQ(result.text, cases[i].text) << "case " << i;
        EXPECT_EQ(result.icon, cases[i].icon) << "case " << i;
    }
}

TEST(StatusTextTest, ComPort) {
    auto port = [](TC0mPortStatus p) {
        Status s;
        s.comportStatus = p;
        return s;
    };
    Status framed = port(c0mPortOpened);
    framed.portFraming = "19200 8N2";
    expectTexts(comportStatusText,
                {
                    {port(c0mPortUnknown), "Нет информации", 0},
                    {port(c0mPOrtClosed), "Порт не открыт", 0},
                    {port(c0mPortOpenError), "Порт не открыт туннелем, ошибка открытия порта", 1},
                    {port(c0mPOrtNotOpenedByApp), "Порт не открыт сторонним приложением", 2},
                    {port(c0mPortOpened), "Порт открыт сторонним приложением", 3},
                    {framed, "Порт открыт сторонним приложением, 19200 8N2", 3},
                    {port(outside<TC0mPortStatus>()), "", 0},
                });
}

TEST(StatusTextTest, DataSource) {
    auto channel = [](TDatasourceChannelState state, TDatasourceCloseReason reason = crUnknown,
                      std::string extended = {}) {
        Status s;
        s.datasourceChannelState = state;
        s.datasourceCloseReason = reason;
        s.datasourceExtended = std::move(extended);
        return s;
    };
    Status offline = channel(dcsConnected);
    offline.datasourceConnectedToServer = false;
    const std::string closed = "Тунель закрыт: ";
    expectTexts(
        datasourceStatusText,
        {
            // Whatever the channel says, an absent data source is reported first.
            {offline, "Удаленное устройство не подключено к серверу", 2},
            {channel(dcsUnknown),
             "Подключение установлено, но от источника данных пока нет информации", 2},
            {channel(dcsConnecting), "Производится подключение туннеля", 2},
            {channel(dcsConnected), "Туннель открыт", 3},
            {channel(outside<TDatasourceChannelState>()), "", 1},
            {channel(dcsClosed, crUnknown), closed + "Нет информации", 2},
            {channel(dcsClosed, crClosedDueToOpenErrorDueToInterferedTunnel, "10.0.0.7"),
             closed + "Ошибка открытия туннеля, из-за уже установленного другого туннеля, с ip "
                      "адреса 10.0.0.7",
             1},
            {channel(dcsClosed, crClosedDueToOpenErrorDueToMultipleInterferedTunnels, "3"),
             closed + "Ошибка открытия туннеля, из-за уже установленных 3 конфликтующих туннелей",
             1},
            {channel(dcsClosed, crClosedDueToOpenError), closed + "Ошибка открытия туннеля", 1},
            {channel(dcsClosed, crClosedTemporarilyDueToNeedToBeReopened),
             closed + "Туннель времмено закрыт", 2},
            // The extended string arrives in the cloud's 8-bit code page; a
            // '%' in it is shown as it is.
            {channel(dcsClosed, crClosedDueToInterferedTunnel, "\xEF\xEA %s"),
             closed + "Туннель закрыт из-за того, что с ip адреса пк %s был открыт новый туннель, "
                      "с конфликтующими настройками",
             1},
            {channel(dcsClosed, crClosedDueToLocalChannelClosed),
             closed + "Туннель закрыт, т.к. локальный канал закрыт", 2},
            {channel(dcsClosed, crClosedByDevice), closed + "Туннель закрыт удаленным устройством",
             2},
            {channel(dcsClosed, crClosedDueToWebserverTimeout),
             closed + "Туннель закрыт из-за таймаута источника данных с веб сервером", 2},
            {channel(dcsClosed, crClosedDueToOpenErrorDueToBadParameters),
             closed + "Ошибка открытия туннеля, из-за некорректных параметров", 2},
            {channel(dcsClosed, crClosedDueToConnectionLost), closed + "Соединение потеряно", 2},
            {channel(dcsClosed, outside<TDatasourceCloseReason>()), closed, 2},
        });
}

// A client the cloud client disconnected because its data source closed the
// tunnel: nested data source status inside the close reason.
Status closedByDataSource(TDatasourceCloseReason reason, std::string extended = {}) {
    Status s;
    s.zvlConnectionStatus = zvlDisconnected;
    s.zvlCloseReason = zvlCloseReason_Datasource;
    s.datasourceChannelState = dcsClosed;
    s.datasourceCloseReason = reason;
    s.datasourceExtended = std::move(extended);
    return s;
}

TEST(StatusTextTest, CloseReason) {
    auto reason = [](TZvlCloseReason r) {
        Status s;
        s.zvlConnectionStatus = zvlDisconnected;
        s.zvlCloseReason = r;
        return s;
    };
    Status absentSource = closedByDataSource(crUnknown);
    absentSource.datasourceConnectedToServer = false;
    expectTexts(
        closeReasonText,
        {
            {reason(zvlCloseReason_notYetConnected), "Не произведено подключение", 0},
            {reason(zvlCloseReason_BadTunnelKey), "Ошибка в ключе туннеля", 1},
            {reason(zvlCloseReason_ConnectionError), "Ошибка подключения к серверу", 1},
            {reason(zvlCloseReason_ReconnectToADifferentServer),
             "Переподключаемся к серверу назначения", 2},
            {reason(zvlConnectionClosedUnexpectedly), "Соединение было неожиданно закрыто", 1},
            {reason(outside<TZvlCloseReason>()), "", 1},
            // Red even where the data source's own text is yellow.
            {closedByDataSource(crClosedByDevice),
             "Ошибка, источник данных сообщает: Тунель закрыт: Туннель закрыт удаленным "
             "устройством",
             1},
            {absentSource,
             "Ошибка, источник данных сообщает: Удаленное устройство не подключено к "
             "серверу",
             1},
        });
}

TEST(StatusTextTest, Tunnel) {
    auto connection = [](TZvlConnectionStatus c) {
        Status s;
        s.zvlConnectionStatus = c;
        return s;
    };
    Status open = connection(zvlConnectedAndAuthorized);
    open.datasourceChannelState = dcsConnected;
    Status redirected = connection(zvlDisconnected);
    redirected.zvlCloseReason = zvlCloseReason_ReconnectToADifferentServer;
    expectTexts(
        tunnelStatusText,
        {
            {connection(zvlUnknown), "Нет информации", 0},
            {connection(zvlConnecting), "Устанавливается подключение...", 2},
            {connection(zvlConnectedButNotAuthorizedYet),
             "Подключение установлено, но пока не авторизовано", 2},
            {open, "Туннель открыт", 3},
            {connection(zvlDisconnected), "Не подключен к серверу: Не произведено подключение", 0},
            {redirected, "Не подключен к серверу: Переподключаемся к серверу назначения", 2},
            {connection(outside<TZvlConnectionStatus>()), "", 1},
            {closedByDataSource(crClosedByDevice),
             "Не подключен к серверу: Ошибка, источник данных сообщает: Тунель закрыт: Туннель "
             "закрыт удаленным устройством",
             1},
            {closedByDataSource(crClosedDueToOpenErrorDueToMultipleInterferedTunnels, "3"),
             "Не подключен к серверу: Ошибка, источник данных сообщает: Тунель закрыт: Ошибка "
             "открытия туннеля, из-за уже установленных 3 конфликтующих туннелей",
             1},
        });
}

} // namespace

namespace {

TEST(MessageTextTest, EveryKindHasItsWords) {
    TSlotStatus refused;
    refused.zvlConnectionStatus = zvlDisconnected;
    refused.zvlCloseReason = zvlCloseReason_BadTunnelKey;
    const std::pair<TTunnelMessage, std::string> cases[] = {
        {{TTunnelErrorKind::NoComPort, 1, {}, {}}, "Не создан локальный COM-порт"},
        {{TTunnelErrorKind::NoKey, 1, {}, {}}, "Не указан ключ туннеля"},
        {{TTunnelErrorKind::TooFewSlots, 1, {}, {}},
         "В \"хабе\" должно быть сконфигурировано как минимум 2 ендпоинта."},
        {{TTunnelErrorKind::LearningFailed, 1, refused, {}}, "Ошибка в ключе туннеля"},
        {{TTunnelErrorKind::LearningFailed, 1, refused, "cloud.example:12892"},
         "Ошибка в ключе туннеля\nСервер: cloud.example:12892"},
        {{TTunnelErrorKind::DuplicateKey, 3, {}, {}, 0, 2},
         "Этот ключ уже указан в туннеле 2. Один ключ нельзя применить к двум туннелям: они "
         "мешали бы друг другу."},
        {{TTunnelErrorKind::UnsupportedTunnel, 1, {}, {}},
         "Ошибка конфигурирования туннеля. Возможно нужно обновить Zelvane Tunnel"},
        {{TTunnelErrorKind::TakenOver, 1, refused, {}},
         "Не подключен к серверу: Ошибка в ключе туннеля"},
        {{TTunnelErrorKind::SettingsFile, 0, {}, "Unable to write to /x"}, "Unable to write to /x"},
        {{TTunnelErrorKind::PortPairs, 1, {}, "cannot start addCom"}, "cannot start addCom"},
        {{TTunnelErrorKind::NoKey, 1, {}, {}, 2}, "Туннель 2: не указан ключ туннеля"},
        {{TTunnelErrorKind::KeyTooLong, 1, {}, {}, 3},
         "Туннель 3: ключ туннеля длиннее 255 символов"},
        {{TTunnelErrorKind::KeyUnreadable, 1, {}, {}, 1},
         "Туннель 1: ключ туннеля не читается (недопустимые символы)"},
        {{TTunnelErrorKind::StoredEntry, 1, {}, "Connection0ComPort is not a pair number", 1},
         "Туннель 1: запись в файле настроек не может быть использована: Connection0ComPort is "
         "not a pair number"},
        {{TTunnelErrorKind::PairListSetAside, 0, {}, "The pair list /p could not be read"},
         "Список виртуальных COM-портов не удалось прочитать, он отложен: The pair list /p could "
         "not be read"},
    };
    for (const auto& [message, text] : cases)
        EXPECT_EQ(messageText(message), text) << static_cast<int>(message.kind);
}

TEST(MessageTextTest, PortsAndTraffic) {
    EXPECT_EQ(portText({TPortInfo::Installing, ""}), "Идет установка драйвера..");
    EXPECT_EQ(portText({TPortInfo::NotFound, ""}), "Порт не найден");
    EXPECT_EQ(portText({TPortInfo::Ready, "/run/user/1/zelvane-tunnel/ttyZV3"}),
              "/run/user/1/zelvane-tunnel/ttyZV3");
    EXPECT_EQ(trafficText(4294967295u, 0), "S/R: 4294967295/0 b");
    EXPECT_EQ(deleteTunnelQuestionText(3), "Удалить туннель 3 и его виртуальный порт?");
}

TEST(MessageTextTest, TrayToolTip) {
    EXPECT_EQ(trayToolTipText(false, {}), "Zelvane Tunnel\nТуннелей нет");
    EXPECT_EQ(trayToolTipText(false, {2, 0, 0}), "Zelvane Tunnel\nКонфигурирование, туннелей: 2");
    EXPECT_EQ(trayToolTipText(true, {3, 2, 0}),
              "Zelvane Tunnel\nРабота, туннелей: 3\nПодключено: 2");
    EXPECT_EQ(trayToolTipText(true, {3, 1, 2}),
              "Zelvane Tunnel\nРабота, туннелей: 3\nПодключено: 1\nС ошибкой: 2");
}

} // namespace

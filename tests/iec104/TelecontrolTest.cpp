// Telecontrol: select -> confirmation -> execute with the literal frames, the
// 6000 ms time-out, refusals, and "never send a command twice, never lose one".
#include <functional>
#include <memory>

#include "LinkFixture.h"
#include "iec104/LinkStatistics.h"
#include "iec104/Telecontrol.h"

namespace telegate::testlink {
namespace {

// Select ON for object 5000 at common address 1, N(S) 0, N(R) 0.
const char* kSelectOn = "68 0E 00 00 00 00 2D 01 06 00 01 00 88 13 00 85";
// Execute ON, N(S) 1, N(R) 1 (after the station's confirmation).
const char* kExecuteOn = "68 0E 02 00 02 00 2D 01 06 00 01 00 88 13 00 05";
// The station's positive confirmation of the select, N(S) 0, N(R) 1.
const char* kConfirmSelectOn = "68 0E 00 00 02 00 2D 01 07 00 01 00 88 13 00 85";

class ElemTUTest : public LinkFixture {
  protected:
    TElemTU& Tu() { return client->ElemTU; }
    void Start(TTUCommand cmd = tuCommand_On, int32_t ca = 1, int32_t ioa = 5000) {
        Tu().fl.Reset();
        Tu().Init(cmd, ca, ioa, client->prm, true);
    }
    std::vector<std::string> IFrames() const {
        std::vector<std::string> out;
        for (const auto& f : link->HexFrames())
            if (f.size() > 8 && (std::stoul(f.substr(6, 2), nullptr, 16) & 1) == 0)
                out.push_back(f);
        return out;
    }
};

TEST_F(ElemTUTest, CreatedIdle) {
    TElemTU tu(clock, journal, types, 6000);
    EXPECT_EQ(tu.step1, stuNone);
    EXPECT_FALSE(tu.prDoExecute);
    EXPECT_EQ(tu.AckTimeout, 6000);
    EXPECT_EQ(tu.fl.fln, 0);
    EXPECT_FALSE(tu.tmCommand.started);
}

TEST_F(ElemTUTest, OnCommandSelectConfirmExecute) {
    MakeClient();
    StartData();
    Start();
    EXPECT_EQ(Tu().step1, stuInit);
    EXPECT_TRUE(HasLine("(iec3)TU: Инициализация команды ТУ"));
    Service();
    EXPECT_EQ(Tu().step1, stuSendSelect);
    EXPECT_EQ(link->HexFrames(), std::vector<std::string>{kSelectOn});
    EXPECT_TRUE(HasLine("(iec3)TU: Сформирована TU-Select"));
    EXPECT_TRUE(HasLine("(iec3) TU: Send(0020h)(0001h)"));
    Service();  // nothing more until the confirmation
    EXPECT_EQ(link->frames.size(), 1u);
    Feed(kConfirmSelectOn);
    EXPECT_EQ(Tu().step1, stuActSelect);
    EXPECT_TRUE(HasLine("(iec2) подтверждение активации ТУ. Адрес=5000"));
    Service();
    EXPECT_EQ(Tu().step1, stuSendExecute);
    EXPECT_EQ(link->HexFrames(), (std::vector<std::string>{kSelectOn, kExecuteOn}));
    EXPECT_TRUE(HasLine("(iec3)TU: Сформирована TU-Execute"));
    Service();
    EXPECT_EQ(Tu().step1, stuNone);
    for (int i = 0; i < 5; ++i) Service();
    EXPECT_EQ(IFrames().size(), 2u);
    const int32_t bits = (1 << btue_TU_Init) | (1 << btue_TU_FormSelect) |
                         (1 << btue_TU_SendSelect) | (1 << btue_TU_ActSelect) |
                         (1 << btue_TU_FormExecute1) | (1 << btue_TU_SendExecute);
    EXPECT_EQ(Tu().fl.fln, bits);
}

TEST_F(ElemTUTest, OffCommandUsesItsOwnOctets) {
    MakeClient();
    StartData();
    Start(tuCommand_Off);
    Service();
    Feed("68 0E 00 00 02 00 2D 01 07 00 01 00 88 13 00 84");
    Service();
    EXPECT_EQ(IFrames(),
              (std::vector<std::string>{"68 0E 00 00 00 00 2D 01 06 00 01 00 88 13 00 84",
                                        "68 0E 02 00 02 00 2D 01 06 00 01 00 88 13 00 04"}));
}

// A confirmation with the P/N bit set ends the command as failed at once, of the
// select as of the execute; nothing further is sent.
TEST_F(ElemTUTest, NegativeConfirmationEndsTheCommandAtOnce) {
    struct TCase {
        const char* name;
        bool refuseExecute;
    };
    for (const TCase c : {TCase{"select refused", false}, TCase{"execute refused", true}}) {
        SCOPED_TRACE(c.name);
        MakeClient();
        StartData();
        Start();
        Service();
        if (c.refuseExecute) {
            Feed(kConfirmSelectOn);
            Service();
            Service();  // the execute went out; the command waits for its confirmation
            Feed("68 0E 02 00 04 00 2D 01 47 00 01 00 88 13 00 05");
        } else {
            Feed("68 0E 00 00 02 00 2D 01 47 00 01 00 88 13 00 85");
        }
        EXPECT_EQ(Tu().step1, stuNone);
        EXPECT_TRUE(Tu().fl.Op(FYes, btue_TU_TimeOut1));
        EXPECT_EQ(CountPrefix("Error: ТУ отклонена КП (отрицательное подтверждение "), 1);
        EXPECT_TRUE(HasLine(std::string("Error: ТУ отклонена КП (отрицательное подтверждение ") +
                            (c.refuseExecute ? "Execute" : "Select") + "). Адрес=5000"));
        for (int i = 0; i < 5; ++i) Service();
        EXPECT_EQ(IFrames().size(), c.refuseExecute ? 2u : 1u);
        lines.clear();
    }
}

// A positive execute confirmation, or a negative one for another object, is no failure.
TEST_F(ElemTUTest, PositiveExecuteConfirmationIsNoFailure) {
    MakeClient();
    StartData();
    Start();
    Service();
    Feed(kConfirmSelectOn);
    Service();
    Service();
    Feed("68 0E 02 00 04 00 2D 01 47 00 01 00 89 13 00 05");  // object 5001
    Feed("68 0E 04 00 04 00 2D 01 07 00 01 00 88 13 00 05");
    Feed("68 0E 06 00 04 00 2D 01 47 00 01 00 88 13 00 05");  // late, after the positive one
    EXPECT_FALSE(Tu().fl.Op(FYes, btue_TU_TimeOut1));
    EXPECT_EQ(CountPrefix("Error: ТУ отклонена"), 0);
}

TEST_F(ElemTUTest, ConfirmationOfAnotherObjectOrOfAnExecuteIsNotTaken) {
    MakeClient();
    StartData();
    Start();
    Service();
    Feed("68 0E 00 00 02 00 2D 01 07 00 01 00 89 13 00 85");  // object 5001
    EXPECT_EQ(Tu().step1, stuSendSelect);
    Feed("68 0E 02 00 02 00 2D 01 07 00 02 00 88 13 00 85");  // common address 2
    EXPECT_EQ(Tu().step1, stuSendSelect);
    Feed("68 0E 04 00 02 00 2D 01 07 00 01 00 88 13 00 05");  // an execute confirmation
    EXPECT_EQ(Tu().step1, stuSendSelect);
    Feed("68 0E 06 00 02 00 2D 01 07 00 01 00 88 13 00 85");
    EXPECT_EQ(Tu().step1, stuActSelect);
}

TEST_F(ElemTUTest, InitWithoutAddressChangesOnlyCommandAndExecuteChoice) {
    MakeClient();
    StartData();
    Start();
    Service();
    ASSERT_EQ(Tu().step1, stuSendSelect);
    const int64_t started = Tu().tmCommand.tmstamp0;
    clock.Advance(100);
    Tu().Init(tuCommand_Off, 1, 0, client->prm, false);
    EXPECT_TRUE(HasLine("Error: Ошибка инициализации ТУ. Нет МЭК-адреса ТУ!"));
    EXPECT_EQ(Tu().step1, stuSendSelect);
    EXPECT_EQ(Tu().CtrlObjAddr, 5000);
    EXPECT_EQ(Tu().tmCommand.tmstamp0, started);
    EXPECT_EQ(Tu().TUCommand, tuCommand_Off);
    EXPECT_FALSE(Tu().prDoExecute);
    // Without the execute choice the command waits at the confirmed select until the time-out.
    Feed(kConfirmSelectOn);
    Service();
    EXPECT_EQ(Tu().step1, stuActSelect);
    clock.Advance(6000);
    Service();
    EXPECT_EQ(Tu().step1, stuNone);
    EXPECT_EQ(IFrames().size(), 1u);
}

TEST_F(ElemTUTest, DisconnectedCommandWaitsThenIsDropped) {
    MakeClient();
    link->connected = false;
    Start();
    Service();
    EXPECT_EQ(Tu().step1, stuFormSelect);
    clock.Advance(3000);
    Service();
    EXPECT_EQ(Tu().step1, stuFormSelect);
    EXPECT_TRUE(client->s_APDUBuf.GetEmpty());
    clock.Advance(3001);
    Service();
    EXPECT_EQ(Tu().step1, stuNone);
    EXPECT_TRUE(Tu().fl.Op(FYes, btue_TU_TimeOut1));
    EXPECT_TRUE(link->frames.empty());
}

TEST_F(ElemTUTest, SelectQueuedBeforeDataTransferWaitsForIt) {
    MakeClient();
    client->DoOnConnect();
    Start();
    Service();
    EXPECT_EQ(Tu().step1, stuSendSelect);
    EXPECT_TRUE(link->frames.empty());
    client->Connecting(false, 0);  // STARTDT act
    Feed("68 04 0B 00 00 00");
    client->flag.Op(FClear, bsb_PROC_OPROS);
    Service();
    EXPECT_EQ(IFrames(), std::vector<std::string>{kSelectOn});
}

TEST_F(ElemTUTest, BusySlotDelaysTheSelectButSendsItOnce) {
    MakeClient();
    StartData();
    link->autoTake = false;
    link->slot = "previous";
    Start();
    Service();
    EXPECT_EQ(Tu().step1, stuSendSelect);
    EXPECT_EQ(client->k, 0);
    EXPECT_EQ(client->s_APDUBuf.GetIndSend(), 0);
    Service();
    EXPECT_EQ(client->k, 0);
    link->slot.clear();
    Service();
    link->Drain();
    Service();
    link->Drain();
    EXPECT_EQ(IFrames(), std::vector<std::string>{kSelectOn});
    Feed(kConfirmSelectOn);
    Service();
    link->Drain();
    Service();
    link->Drain();
    EXPECT_EQ(IFrames(), (std::vector<std::string>{kSelectOn, kExecuteOn}));
}

TEST_F(ElemTUTest, FullWindowDelaysQueuing) {
    prm.kMax = 1;
    MakeClient();
    StartData();
    client->OprosDue();
    client->Connecting(false, 0);  // the interrogation fills the window
    Start();
    client->TuService1();
    EXPECT_EQ(Tu().step1, stuFormSelect);
    client->ConnectService(false, 0);  // interrogation out, not yet acknowledged
    client->TuService1();
    EXPECT_EQ(Tu().step1, stuFormSelect);
    Feed("68 04 01 00 02 00");
    Service();
    EXPECT_EQ(Tu().step1, stuSendSelect);
    EXPECT_EQ(link->LastHex(), "68 0E 02 00 00 00 2D 01 06 00 01 00 88 13 00 85");
}

TEST_F(ElemTUTest, NewInitReplacesTheCommandInProgress) {
    MakeClient();
    StartData();
    Start(tuCommand_On, 1, 5000);
    Service();
    Start(tuCommand_Off, 1, 6000);
    EXPECT_EQ(Tu().step1, stuInit);
    Service();
    EXPECT_EQ(link->LastHex(), "68 0E 02 00 00 00 2D 01 06 00 01 00 70 17 00 84");
}

TEST_F(ElemTUTest, UnknownCommandEndsWithoutSendingAnything) {
    MakeClient();
    StartData();
    Start(tuCommand_Empty);
    Service();
    EXPECT_EQ(Tu().step1, stuNone);
    EXPECT_TRUE(HasLine("(iec3)CreateAsduTUCommand() Команда не опознана!"));
    EXPECT_TRUE(link->frames.empty());
}

TEST_F(ElemTUTest, ConnectionLostAfterTheSelectEndsByTimeOutWithoutResending) {
    MakeClient();
    client->ClSFlag.Op(FSet, bclb_AutoConnect);
    StartData();
    Start();
    Service();
    ASSERT_EQ(IFrames().size(), 1u);
    link->connected = false;
    client->flag.Op(FSet, bsb_CallDoDisconnect);
    client->Connecting(false, 0);
    link->connected = true;
    client->DoOnConnect();
    client->Connecting(false, 0);
    Feed("68 04 0B 00 00 00");
    for (int i = 0; i < 3; ++i) {
        client->Connecting(false, 0);
        Service();
    }
    clock.Advance(6001);
    Service();
    EXPECT_EQ(Tu().step1, stuNone);
    int selects = 0;
    for (const auto& f : IFrames()) selects += f.find("2D 01 06") != std::string::npos ? 1 : 0;
    EXPECT_EQ(selects, 1);
}

// The requester learns how each command ended: confirmed only by the station's
// positive execute confirmation.
TEST_F(ElemTUTest, ResultTellsHowTheCommandEnded) {
    const char* kConfirmExecute = "68 0E 02 00 04 00 2D 01 07 00 01 00 88 13 00 05";
    const char* kRefuseExecute = "68 0E 02 00 04 00 2D 01 47 00 01 00 88 13 00 05";
    const char* kRefuseSelect = "68 0E 00 00 02 00 2D 01 47 00 01 00 88 13 00 85";
    struct TCase {
        const char* name;
        std::function<void()> run;  // after the select went out
        TTuOutcome outcome;
    };
    const TCase cases[] = {
        {"execute confirmed",
         [&] {
             Feed(kConfirmSelectOn);
             Service();
             Service();
             Feed(kConfirmExecute);
         },
         tuo_Confirmed},
        {"select refused", [&] { Feed(kRefuseSelect); }, tuo_Rejected},
        {"execute refused",
         [&] {
             Feed(kConfirmSelectOn);
             Service();
             Service();
             Feed(kRefuseExecute);
         },
         tuo_Rejected},
        {"select unanswered",
         [&] {
             clock.Advance(6001);
             Service();
         },
         tuo_TimedOut},
        {"execute unanswered",
         [&] {
             Feed(kConfirmSelectOn);
             Service();
             Service();
             clock.Advance(5000);
             Service();
             EXPECT_TRUE(Tu().Busy());  // the execute has its own time
             clock.Advance(1001);
             Service();
         },
         tuo_TimedOut},
        {"link lost",
         [&] {
             link->connected = false;
             Service();
         },
         tuo_LinkLost},
        {"client gone", [&] { client.reset(); }, tuo_LinkLost},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        MakeClient();
        TLinkDiagnostics diag(clock);
        client->Diag = &diag;
        StartData();
        auto result = std::make_shared<TCommandResult>();
        Tu().fl.Reset();
        Tu().Init(tuCommand_On, 1, 5000, client->prm, true, result);
        Service();
        ASSERT_EQ(Tu().step1, stuSendSelect);
        EXPECT_EQ(tuo_Pending, result->Outcome());
        c.run();
        EXPECT_EQ(c.outcome, result->Outcome());
        // The statistics count a refusal as negative, an unanswered command as missing.
        EXPECT_EQ(diag.Stats.NegativeConfirmations, c.outcome == tuo_Rejected ? 1u : 0u);
        EXPECT_EQ(diag.Stats.MissingConfirmations, c.outcome == tuo_TimedOut ? 1u : 0u);
        if (client) {
            EXPECT_FALSE(Tu().Busy());
            client->Diag = nullptr;
        }
    }
}

}  // namespace
}  // namespace telegate::testlink

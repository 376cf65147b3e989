// The client object: login, event mask, site objects and manual commands.
#include "SimTestSupport.h"

namespace {

ComPtr<IManualCommand> newCommand(long objectId, long objectType, long command, const std::wstring& text) {
    ComPtr<IManualCommand> manual;
    EXPECT_EQ(S_OK,
              CoCreateInstance(CLSID_ManualCommand, nullptr, kClientClassContext, IID_PPV_ARGS(&manual)));
    if (manual) {
        EXPECT_EQ(S_OK, manual->put_ObjectID(objectId));
        EXPECT_EQ(S_OK, manual->put_ObjectType(objectType));
        EXPECT_EQ(S_OK, manual->put_Command(command));
        EXPECT_EQ(S_OK, manual->put_Text(TestBstr(text).get()));
    }
    return manual;
}

// An IManualCommand implemented by someone other than the simulator.
struct ForeignCommand final : IManualCommand {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        const bool known = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(IManualCommand));
        *object = known ? this : nullptr;
        return known ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_ObjectID(long) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE reserved5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_ObjectType(long) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE reserved7() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Command(long) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE reserved9() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Text(BSTR) override { return S_OK; }
};

}  // namespace

TEST_F(SimTest, ConnectAcceptsOnlyExactAccounts) {
    ComPtr<IComClient> client = createClient();
    ASSERT_TRUE(client);
    EXPECT_EQ(0, connectionState(client.Get()));

    EXPECT_EQ(sim::E_SIM_LOGIN_REJECTED, connect(client.Get(), L"operator", L"wrong"));
    EXPECT_EQ(sim::E_SIM_LOGIN_REJECTED, connect(client.Get(), L"Operator", L"sipass"));
    EXPECT_EQ(sim::E_SIM_LOGIN_REJECTED, client->Connect(nullptr, nullptr));
    EXPECT_EQ(0, connectionState(client.Get()));

    // A password that only starts like the right one must not pass either (BSTR with embedded null).
    TestBstr padded(std::wstring(L"secret\0x", 8));
    EXPECT_EQ(sim::E_SIM_LOGIN_REJECTED, client->Connect(TestBstr(L"Administrator").get(), padded.get()));

    EXPECT_EQ(S_OK, connect(client.Get(), L"Administrator", L"secret"));
    EXPECT_EQ(1, connectionState(client.Get()));
    EXPECT_EQ(L"Administrator", sim::clients().at(0).user);

    // A rejected login leaves the existing connection alone; Disconnect ends it.
    EXPECT_EQ(sim::E_SIM_LOGIN_REJECTED, connect(client.Get(), L"operator", L"nope"));
    EXPECT_EQ(1, connectionState(client.Get()));
    EXPECT_EQ(S_OK, client->Disconnect());
    EXPECT_EQ(0, connectionState(client.Get()));
    EXPECT_EQ(L"", sim::clients().at(0).user);

    // Accounts added by a test work; null BSTRs are empty strings.
    sim::addAccount(L"", L"");
    EXPECT_EQ(S_OK, client->Connect(nullptr, nullptr));
    sim::addAccount(L"operator", L"changed");
    EXPECT_EQ(sim::E_SIM_LOGIN_REJECTED, connect(client.Get(), L"operator", L"sipass"));
    EXPECT_EQ(S_OK, connect(client.Get(), L"operator", L"changed"));

    sim::resetSite();
    EXPECT_EQ(S_OK, connect(client.Get(), L"operator", L"sipass"));
}

TEST_F(SimTest, EventMaskStartsFromTheInitialMaskOfItsCreation) {
    sim::setInitialEventMask(0x15);
    ComPtr<IComClient> first = createClient();
    sim::setInitialEventMask(0x2);
    ComPtr<IComClient> second = createClient();
    ASSERT_TRUE(first && second);

    long mask = 0;
    EXPECT_EQ(S_OK, first->get_EventMask(&mask));
    EXPECT_EQ(0x15, mask);
    EXPECT_EQ(S_OK, second->put_EventMask(-1));
    EXPECT_EQ(-1, sim::clients().at(1).eventMask);
}

TEST_F(SimTest, GetByIdReturnsNamedObjectsOfTheSite) {
    ComPtr<IComClient> client = createClient();
    ASSERT_TRUE(client);
    ComPtr<IUnknown> object;
    EXPECT_EQ(sim::E_SIM_NOT_CONNECTED, client->GetByID(6, 2, &object));
    EXPECT_FALSE(object);

    ASSERT_EQ(S_OK, connect(client.Get(), L"operator", L"sipass"));
    ASSERT_EQ(S_OK, client->GetByID(6, 2, &object));
    ComPtr<IGeneric> generic;
    ASSERT_EQ(S_OK, object.As(&generic));
    TestBstr name;
    ASSERT_EQ(S_OK, generic->get_name(name.out()));
    EXPECT_EQ(L"T\u00fcr S\u00fcd", name.text());
    EXPECT_EQ(E_NOTIMPL, generic->reserved3());

    // The type is part of the key: id 2 of type 7 does not exist.
    IUnknown* missing = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(sim::E_SIM_NO_OBJECT, client->GetByID(7, 2, &missing));
    EXPECT_EQ(nullptr, missing);

    sim::addObject(7, 2, L"Nebeneingang");
    ComPtr<IUnknown> added;
    ASSERT_EQ(S_OK, client->GetByID(7, 2, &added));
    ASSERT_EQ(S_OK, added.As(&generic));
    ASSERT_EQ(S_OK, generic->get_name(name.out()));
    EXPECT_EQ(L"Nebeneingang", name.text());
}

TEST_F(SimTest, SendManualCommandRecordsWhatTheServerReceives) {
    ComPtr<IComClient> client = createClient();
    ASSERT_TRUE(client);
    ComPtr<IManualCommand> open = newCommand(1, 6, 4, L"\u00d6ffnen");

    // Nothing reaches the site without a connection.
    EXPECT_EQ(sim::E_SIM_NOT_CONNECTED, client->SendManualCommand(open.Get()));
    EXPECT_TRUE(sim::sentCommands().empty());

    ASSERT_EQ(S_OK, connect(client.Get(), L"operator", L"sipass"));
    EXPECT_EQ(S_OK, client->SendManualCommand(open.Get()));
    EXPECT_EQ(S_OK, open->put_Text(nullptr));  // later changes do not alter the recorded command
    EXPECT_EQ(S_OK, open->put_Command(5));
    EXPECT_EQ(S_OK, client->SendManualCommand(open.Get()));
    EXPECT_EQ(E_POINTER, client->SendManualCommand(nullptr));

    // A foreign IManualCommand cannot be read, so it is refused rather than sent with made-up fields.
    ForeignCommand foreign;
    EXPECT_EQ(E_INVALIDARG, client->SendManualCommand(&foreign));

    const auto sent = sim::sentCommands();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(1, sent[0].objectId);
    EXPECT_EQ(6, sent[0].objectType);
    EXPECT_EQ(4, sent[0].command);
    EXPECT_EQ(L"\u00d6ffnen", sent[0].text);
    EXPECT_EQ(5, sent[1].command);
    EXPECT_EQ(L"", sent[1].text);

    sim::resetSite();
    EXPECT_TRUE(sim::sentCommands().empty());
}

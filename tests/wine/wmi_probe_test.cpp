// The probe's COM layer against stand-ins of WMI's scripting objects: every failure code path,
// the exact ExecQuery call, the conversion of Version values, and no reference kept.

#include <gtest/gtest.h>

#include <string>

#include "board/wmi_probe.h"
#include "fake_wmi.h"

namespace {

using fake_wmi::Board;
using fake_wmi::Enumerator;
using fake_wmi::ResultSet;
using fake_wmi::Service;

IDispatch* bound_service = nullptr;
HRESULT bind_error = S_OK;

HRESULT BindStandIn(IDispatch** service) {
  if (FAILED(bind_error)) return bind_error;
  *service = bound_service;
  if (bound_service != nullptr) bound_service->AddRef();
  return S_OK;
}

std::wstring UnitsOf(const BoardPrefix& prefix) {
  std::wstring units;
  for (size_t i = 0; i < prefix.Length(); ++i) units.push_back(static_cast<wchar_t>(prefix[i]));
  return units;
}

class Probe : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(fake_wmi::live_objects, 0);
    service_ = new Service;
    results_ = new ResultSet;
    boards_ = new Enumerator;
    service_->results = results_;
    results_->enumerator = boards_;
    results_->rewind = boards_;
    bound_service = service_;
    bind_error = S_OK;
  }

  // Every object the probe touched has been given back once the test lets go of its own.
  void TearDown() override {
    bound_service = nullptr;
    service_->Release();
    EXPECT_EQ(fake_wmi::live_objects, 0) << "a COM reference was kept";
  }

  BoardPrefix Read() { return ReadBoardPrefixVia(BindStandIn); }

  Board* AddBoard(const std::wstring& version) {
    Board* board = new Board(version);
    boards_->AddBoard(board);
    return board;
  }

  Board* AddBoardHolding(VARIANT& value) {
    Board* board = new Board;
    VariantCopy(&board->value, &value);
    boards_->AddBoard(board);
    return board;
  }

  Service* service_ = nullptr;
  ResultSet* results_ = nullptr;
  Enumerator* boards_ = nullptr;
};

TEST_F(Probe, SendsTheQueryExactlyAsAScriptWould) {
  AddBoard(L"41ABC");
  Read();
  const fake_wmi::QueryCall& call = service_->seen;
  EXPECT_EQ(call.calls, 1);
  EXPECT_EQ(call.flags, DISPATCH_METHOD);
  EXPECT_EQ(call.arg_count, 3u);
  EXPECT_EQ(call.named_arg_count, 0u);
  EXPECT_EQ(call.query_type, VT_BSTR);
  EXPECT_EQ(call.query, L"Select * from WIN32_BaseBoard");
  EXPECT_EQ(call.language_type, VT_ERROR) << "the language must be left out, not given";
  EXPECT_EQ(call.language_scode, DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(call.flags_type, VT_I2);
  EXPECT_EQ(call.flags_value, 48);
}

TEST_F(Probe, ReadsVersionAsAPropertyWithNoArguments) {
  Board* board = AddBoard(L"41ABC");
  EXPECT_EQ(UnitsOf(Read()), L"41");
  EXPECT_EQ(board->flags_seen, DISPATCH_PROPERTYGET | DISPATCH_METHOD);
  EXPECT_EQ(board->args_seen, 0u);
}

TEST_F(Probe, FailuresBeforeTheWalkReturnNothing) {
  AddBoard(L"41");

  bind_error = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  EXPECT_FALSE(Read().HasValue()) << "bind fails";
  EXPECT_EQ(service_->seen.calls, 0);
  bind_error = S_OK;

  bound_service = nullptr;
  EXPECT_FALSE(Read().HasValue()) << "bind returns no object";
  bound_service = service_;

  service_->query_error = E_FAIL;
  EXPECT_FALSE(Read().HasValue()) << "ExecQuery fails";
  service_->query_error = S_OK;

  results_->enum_error = E_ACCESSDENIED;
  EXPECT_FALSE(Read().HasValue()) << "the enumerator cannot be had";
  results_->enum_error = S_OK;

  EXPECT_EQ(UnitsOf(Read()), L"41") << "and with nothing failing, the board is read";
}

TEST_F(Probe, AnswersThatAreNotWhatWasAskedForReturnNothing) {
  AddBoard(L"41");
  // ExecQuery succeeds but hands back no result set.
  IDispatch* results = service_->results;
  service_->results = nullptr;
  EXPECT_FALSE(Read().HasValue());
  service_->results = results;

  // The result set's enumerator is no IEnumVARIANT.
  IUnknown* enumerator = results_->enumerator;
  results_->enumerator = new Board;
  EXPECT_FALSE(Read().HasValue());
  results_->enumerator->Release();
  results_->enumerator = nullptr;
  EXPECT_FALSE(Read().HasValue()) << "no enumerator at all";
  results_->enumerator = enumerator;
}

TEST_F(Probe, NoBoardsReturnNothing) { EXPECT_FALSE(Read().HasValue()); }

TEST_F(Probe, TheLastReadableBoardWins) {
  AddBoard(L"41");
  AddBoard(L"40");
  EXPECT_EQ(UnitsOf(Read()), L"40");
}

TEST_F(Probe, AnUnreadableBoardKeepsThePrefixBeforeIt) {
  AddBoard(L"41");
  AddBoard(L"40")->read_error = DISP_E_EXCEPTION;
  EXPECT_EQ(UnitsOf(Read()), L"41");
}

TEST_F(Probe, AFailedMoveEndsTheWalkWithThePrefixSoFar) {
  AddBoard(L"41");
  AddBoard(L"40");
  boards_->fail_at = 1;
  EXPECT_EQ(UnitsOf(Read()), L"41");
}

TEST_F(Probe, AnItemThatIsNoObjectIsPassedOver) {
  AddBoard(L"41");
  VARIANT number;
  VariantInit(&number);
  number.vt = VT_I4;
  number.lVal = 40;
  boards_->AddValue(number);
  EXPECT_EQ(UnitsOf(Read()), L"41");
  EXPECT_EQ(boards_->next, 2u) << "the walk went past it to the end";
}

TEST_F(Probe, ANullObjectIsPassedOver) {
  AddBoard(L"41");
  VARIANT no_object;
  VariantInit(&no_object);
  no_object.vt = VT_DISPATCH;
  no_object.pdispVal = nullptr;
  boards_->AddValue(no_object);
  EXPECT_EQ(UnitsOf(Read()), L"41");
  EXPECT_EQ(boards_->next, 2u) << "the walk went past it to the end";
}

TEST_F(Probe, AMoveThatHandsOutNothingEndsTheWalk) {
  AddBoard(L"41");
  boards_->nothing_at = 0;
  EXPECT_FALSE(Read().HasValue()) << "at the first board";
  AddBoard(L"40");
  boards_->nothing_at = 1;
  EXPECT_EQ(UnitsOf(Read()), L"41") << "after the first board";
}

// A script host's For Each takes the enumerator however it is handed out, and asks it for
// IEnumVARIANT; so does the probe. An object that is no enumerator returns nothing.
TEST_F(Probe, AnEnumeratorHandedOutAsADispatchValueIsWalked) {
  AddBoard(L"41");
  results_->handed_out_as = VT_DISPATCH;
  EXPECT_EQ(UnitsOf(Read()), L"41");

  IUnknown* enumerator = results_->enumerator;
  results_->enumerator = new Board(L"41");
  EXPECT_FALSE(Read().HasValue()) << "a board handed out as the enumerator";
  results_->enumerator->Release();
  results_->enumerator = enumerator;
}

TEST_F(Probe, AVersionPassedByReferenceIsReadThroughTheReference) {
  boards_->AddBoard(Board::WithTextByReference(L"41ABC"));
  EXPECT_EQ(UnitsOf(Read()), L"41");
  boards_->AddBoard(Board::WithTextByReference(L"4"));
  EXPECT_EQ(UnitsOf(Read()), L"4");
}

TEST_F(Probe, NullAndEmptyVersionsCountAsNotRead) {
  AddBoard(L"41");
  VARIANT null_value;
  VariantInit(&null_value);
  null_value.vt = VT_NULL;
  AddBoardHolding(null_value);
  VARIANT empty_value;
  VariantInit(&empty_value);
  AddBoardHolding(empty_value);
  EXPECT_EQ(UnitsOf(Read()), L"41");
}

TEST_F(Probe, TextIsCutToTwoUnitsAndNothingElse) {
  AddBoard(L"");
  BoardPrefix prefix = Read();
  EXPECT_TRUE(prefix.HasValue());
  EXPECT_EQ(prefix.Length(), 0u) << "empty text is an empty prefix, not nothing";

  AddBoard(std::wstring(L"\0" L"41", 3));
  EXPECT_EQ(UnitsOf(Read()), std::wstring(L"\0" L"4", 2)) << "embedded zeros are units too";

  AddBoard(L"\xD83D\xDE00z");
  EXPECT_EQ(UnitsOf(Read()), L"\xD83D\xDE00");

  AddBoard(L"4");
  EXPECT_EQ(UnitsOf(Read()), L"4");
}

TEST_F(Probe, ANullTextPointerIsEmptyText) {
  VARIANT null_text;
  VariantInit(&null_text);
  null_text.vt = VT_BSTR;
  null_text.bstrVal = nullptr;
  AddBoardHolding(null_text);
  const BoardPrefix prefix = Read();
  EXPECT_TRUE(prefix.HasValue());
  EXPECT_EQ(prefix.Length(), 0u);
}

TEST_F(Probe, OtherKindsAreConvertedAsVariantsConvert) {
  VARIANT number;
  VariantInit(&number);
  number.vt = VT_I4;
  number.lVal = 4123;
  AddBoardHolding(number);
  EXPECT_EQ(UnitsOf(Read()), L"41");

  // An object converts through its default member, which this one lacks: not read.
  VARIANT object;
  VariantInit(&object);
  object.vt = VT_DISPATCH;
  object.pdispVal = new Board;
  AddBoardHolding(object);
  VariantClear(&object);
  EXPECT_EQ(UnitsOf(Read()), L"41");
}

}  // namespace

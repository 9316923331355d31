// The probe's COM layer against stand-ins of WMI's scripting objects: every failure code path,
// the exact ExecQuery call, the conversion of Version values, and no reference kept.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

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

// One item the enumerator hands out.
struct Item {
  enum Kind { kBoard, kUnreadableBoard, kBoardByReference, kBoardHolding, kNoBoard } kind;
  std::wstring text;        // kBoard, kUnreadableBoard, kBoardByReference: its Version
  VARTYPE type = VT_EMPTY;  // kBoardHolding: its Version's type; kNoBoard: the item's
  LONG number = 0;          // the value of a VT_I4
};

Item Text(const std::wstring& text) { return {Item::kBoard, text}; }
Item Unreadable(const std::wstring& text) { return {Item::kUnreadableBoard, text}; }
Item ByReference(const std::wstring& text) { return {Item::kBoardByReference, text}; }
// A board whose Version is of `type` (VT_BSTR: a null text; VT_DISPATCH: an object).
Item Holding(VARTYPE type, LONG number = 0) { return {Item::kBoardHolding, L"", type, number}; }
// An item that is no board: a number, or (VT_DISPATCH) a null object.
Item NoBoard(VARTYPE type, LONG number = 0) { return {Item::kNoBoard, L"", type, number}; }

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
    EXPECT_EQ(boards_->moves_after_end, 0u) << "the walk went on after the answer that ends it";
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

  void Add(const Item& item) {
    if (item.kind == Item::kBoard || item.kind == Item::kUnreadableBoard) {
      AddBoard(item.text)->read_error = item.kind == Item::kBoard ? S_OK : DISP_E_EXCEPTION;
      return;
    }
    if (item.kind == Item::kBoardByReference) {
      boards_->AddBoard(Board::WithTextByReference(item.text));
      return;
    }
    VARIANT value = {};  // a VT_BSTR stays a null text
    value.vt = item.type;
    if (item.type == VT_I4) value.lVal = item.number;
    if (item.type == VT_DISPATCH && item.kind == Item::kBoardHolding) value.pdispVal = new Board;
    if (item.kind == Item::kNoBoard) {
      boards_->AddValue(value);
      VariantClear(&value);
    } else {
      Board* board = new Board;
      board->value = value;  // the board's now; VariantCopy would make a null text empty
      boards_->AddBoard(board);
    }
  }

  Service* service_ = nullptr;
  ResultSet* results_ = nullptr;
  Enumerator* boards_ = nullptr;
};

// ExecQuery called exactly as a script calls it, and Version read as a property.
TEST_F(Probe, CallsExactlyAsAScriptWould) {
  Board* board = AddBoard(L"41ABC");
  EXPECT_EQ(UnitsOf(Read()), L"41");
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
  EXPECT_EQ(board->flags_seen, DISPATCH_PROPERTYGET | DISPATCH_METHOD);
  EXPECT_EQ(board->args_seen, 0u);
}

TEST_F(Probe, FailuresAndWrongAnswersBeforeTheWalkReturnNothing) {
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

// What only the COM layer decides: which answers of the enumerator end the walk or pass an
// item over, and which Version values count as read, and as what text. Which board's prefix
// is kept is the walk's rule, tested natively (board_walk_test).
struct WalkCase {
  const char* name;
  std::vector<Item> items;
  std::optional<std::wstring> prefix;
  size_t fail_at = SIZE_MAX;     // the move that fails
  size_t nothing_at = SIZE_MAX;  // the move that hands out nothing
};

void PrintTo(const WalkCase& row, std::ostream* out) { *out << row.name; }

class Walk : public Probe, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(Walk, ReadsThePrefixOfTheLastReadableBoard) {
  const WalkCase& row = GetParam();
  for (const Item& item : row.items) Add(item);
  boards_->fail_at = row.fail_at;
  boards_->nothing_at = row.nothing_at;
  const BoardPrefix prefix = Read();
  ASSERT_EQ(prefix.HasValue(), row.prefix.has_value()) << "a prefix read, or nothing";
  EXPECT_EQ(UnitsOf(prefix), row.prefix.value_or(L""));
  if (row.fail_at == SIZE_MAX && row.nothing_at == SIZE_MAX) {
    EXPECT_EQ(boards_->next, row.items.size()) << "the walk stopped before the end";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Boards, Walk,
    ::testing::Values(
        WalkCase{"a_failed_version_read_is_not_read",
                 {Text(L"41"), Unreadable(L"40")}, L"41"},
        WalkCase{"a_failed_move_ends_the_walk_with_the_prefix_so_far",
                 {Text(L"41"), Text(L"40")}, L"41", 1},
        // An item passed over neither counts as a board nor ends the walk.
        WalkCase{"an_item_that_is_no_object_is_passed_over",
                 {Text(L"41"), NoBoard(VT_I4, 40), Unreadable(L"40")}, L"41"},
        WalkCase{"a_null_object_is_passed_over",
                 {Text(L"41"), NoBoard(VT_DISPATCH), Unreadable(L"40")}, L"41"},
        WalkCase{"a_move_that_hands_out_nothing_ends_the_walk",
                 {Text(L"41"), Text(L"40")}, L"41", SIZE_MAX, 1},
        WalkCase{"a_version_by_reference_is_read_through_it", {ByReference(L"41ABC")}, L"41"},
        WalkCase{"null_and_empty_versions_count_as_not_read",
                 {Text(L"41"), Holding(VT_NULL), Holding(VT_EMPTY)}, L"41"},
        WalkCase{"empty_text_is_an_empty_prefix_not_nothing", {Text(L"")}, L""},
        WalkCase{"embedded_zeros_are_units_too", {Text(std::wstring(L"\0" L"41", 3))},
                 std::wstring(L"\0" L"4", 2)},
        WalkCase{"a_null_text_pointer_is_empty_text", {Holding(VT_BSTR)}, L""},
        WalkCase{"a_number_is_converted_as_variants_convert", {Holding(VT_I4, 4123)}, L"41"},
        // An object converts through its default member, which this one lacks: not read.
        WalkCase{"an_object_without_a_default_member_is_not_read",
                 {Holding(VT_I4, 4123), Holding(VT_DISPATCH)}, L"41"}),
    [](const ::testing::TestParamInfo<WalkCase>& param) { return param.param.name; });

// A script host's For Each takes the enumerator however it is handed out, and asks it for
// IEnumVARIANT; so does the probe (an object that is no enumerator: the test above).
TEST_F(Probe, AnEnumeratorHandedOutAsADispatchValueIsWalked) {
  AddBoard(L"41");
  results_->handed_out_as = VT_DISPATCH;
  EXPECT_EQ(UnitsOf(Read()), L"41");
}

}  // namespace

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "Fakes.h"
#include "Services/AudioInputs/AudioInputsServiceImpl.h"

namespace vantorellabs {
namespace {

using protobuf::AudioInput;
using protobuf::UpdateAudioInputRequest;
using testing::bytes;
using testing::PtyPair;
using testing::RecordingConsole;

class AudioInputsServiceTest : public ::testing::Test {
 protected:
  explicit AudioInputsServiceTest(int model = DeviceState::kModelK7100)
      : state(model, "1.2.3"), service(link, state) {
    link.attach(pty.slave);
  }

  grpc::Status update(const UpdateAudioInputRequest& request) {
    grpc::ServerContext context;
    protobuf::UpdateAudioInputResponse response;
    return service.UpdateInput(&context, &request, &response);
  }
  std::vector<AudioInput> inputs() {
    grpc::ServerContext context;
    protobuf::GetAudioInputsRequest request;
    protobuf::GetAudioInputsResponse response;
    EXPECT_TRUE(service.GetInputs(&context, &request, &response).ok());
    return {response.inputs().begin(), response.inputs().end()};
  }
  AudioInput input(unsigned id) {
    grpc::ServerContext context;
    protobuf::GetAudioInputRequest request;
    request.set_id(id);
    protobuf::GetAudioInputResponse response;
    EXPECT_TRUE(service.GetInput(&context, &request, &response).ok());
    return response.input();
  }
  protobuf::GetAudioInputsServiceSchemaResponse schema() {
    grpc::ServerContext context;
    protobuf::GetAudioInputsServiceSchemaRequest request;
    protobuf::GetAudioInputsServiceSchemaResponse response;
    EXPECT_TRUE(service.GetServiceSchema(&context, &request, &response).ok());
    return response;
  }

  PtyPair pty;
  RecordingConsole console;
  ControllerLink link{console};
  DeviceState state;
  AudioInputsServiceImpl service;
};

UpdateAudioInputRequest withTrim(unsigned id, int balance, float trimLevel) {
  UpdateAudioInputRequest r;
  r.set_id(id);
  r.mutable_trim()->set_balance(balance);
  r.mutable_trim()->set_trimlevel(trimLevel);
  return r;
}

UpdateAudioInputRequest withTone(unsigned id, bool enabled, int bass, int treble) {
  UpdateAudioInputRequest r;
  r.set_id(id);
  r.mutable_tone()->set_isenabled(enabled);
  r.mutable_tone()->set_basslevel(bass);
  r.mutable_tone()->set_treblelevel(treble);
  return r;
}

UpdateAudioInputRequest withName(unsigned id, const std::string& name) {
  UpdateAudioInputRequest r;
  r.set_id(id);
  r.set_customname(name);
  return r;
}

// ---- The table and the schema ----

TEST_F(AudioInputsServiceTest, TableAtStartHasTheFixedIdentityAndNothingElse) {
  struct Identity {
    const char* name;
    protobuf::AudioInputType type;
  };
  const Identity expected[] = {
      {"BAL 1", protobuf::AUDIO_INPUT_TYPE_BALANCED},
      {"BAL 2", protobuf::AUDIO_INPUT_TYPE_BALANCED},
      {"BAL 3", protobuf::AUDIO_INPUT_TYPE_BALANCED},
      {"UNBAL 1", protobuf::AUDIO_INPUT_TYPE_UNBALANCED},
      {"UNBAL 2", protobuf::AUDIO_INPUT_TYPE_UNBALANCED},
      {"UNBAL 3", protobuf::AUDIO_INPUT_TYPE_UNBALANCED},
      {"UNBAL 4", protobuf::AUDIO_INPUT_TYPE_UNBALANCED},
      {"PHONO 1", protobuf::AUDIO_INPUT_TYPE_PHONO_MM_MC},
      {"PHONO 2", protobuf::AUDIO_INPUT_TYPE_PHONO_MM_MC},
      {"COAX 1", protobuf::AUDIO_INPUT_TYPE_COAX},
      {"COAX 2", protobuf::AUDIO_INPUT_TYPE_COAX},
      {"OPT 1", protobuf::AUDIO_INPUT_TYPE_OPTICAL},
      {"OPT 2", protobuf::AUDIO_INPUT_TYPE_OPTICAL},
      {"USB", protobuf::AUDIO_INPUT_TYPE_USB},
      {"VTX", protobuf::AUDIO_INPUT_TYPE_VTX},
      {"HDMI(ARC)", protobuf::AUDIO_INPUT_TYPE_HDMI},
  };
  const std::vector<AudioInput> table = inputs();
  ASSERT_EQ(table.size(), 16U);
  for (unsigned id = 1; id <= 16; ++id) {
    SCOPED_TRACE(id);
    const AudioInput& entry = table[id - 1];
    EXPECT_EQ(entry.id(), id);
    EXPECT_EQ(entry.name(), expected[id - 1].name);
    EXPECT_EQ(entry.type(), expected[id - 1].type);
    EXPECT_TRUE(entry.isenabled());
    EXPECT_FALSE(entry.has_customname());
    EXPECT_FALSE(entry.has_trim());
    EXPECT_FALSE(entry.has_tone());
    EXPECT_FALSE(entry.has_equalizer());
    EXPECT_FALSE(entry.has_ispassthruenabled());
    EXPECT_EQ(input(id).SerializeAsString(), entry.SerializeAsString());
  }
}

TEST_F(AudioInputsServiceTest, GetInputOutsideTheTableIsNotFound) {
  for (unsigned id : {0U, 17U, 0xFFFFFFFFU}) {
    SCOPED_TRACE(id);
    grpc::ServerContext context;
    protobuf::GetAudioInputRequest request;
    request.set_id(id);
    protobuf::GetAudioInputResponse response;
    const grpc::Status status = service.GetInput(&context, &request, &response);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::NOT_FOUND);
    EXPECT_EQ(status.error_message(), "Invalid ID");
  }
}

TEST_F(AudioInputsServiceTest, PassthruRpcsAreNotImplemented) {
  grpc::ServerContext context;
  protobuf::GetPassthruInputRequest getRequest;
  protobuf::GetPassthruInputResponse getResponse;
  EXPECT_EQ(service.GetPassthruInput(&context, &getRequest, &getResponse).error_code(),
            grpc::StatusCode::UNIMPLEMENTED);
  protobuf::SetPassthruInputRequest setRequest;
  protobuf::SetPassthruInputResponse setResponse;
  EXPECT_EQ(service.SetPassthruInput(&context, &setRequest, &setResponse).error_code(),
            grpc::StatusCode::UNIMPLEMENTED);
}

// The schema depends on the model the device state held when the service was built.
class AudioInputsSchemaTest : public AudioInputsServiceTest,
                              public ::testing::WithParamInterface<int> {
 protected:
  AudioInputsSchemaTest() : AudioInputsServiceTest(GetParam()) {}
};

TEST_P(AudioInputsSchemaTest, EveryEntryIsTheModelsTemplate) {
  const bool isK40 = GetParam() == DeviceState::kModelK40;
  const auto response = schema();
  ASSERT_EQ(response.inputs_size(), 16);
  for (int i = 0; i < 16; ++i) {
    SCOPED_TRACE(i);
    const auto& s = response.inputs(i);
    EXPECT_EQ(s.id(), static_cast<unsigned>(i + 1));

    EXPECT_EQ(s.customname().lengthrange().min(), 0U);
    EXPECT_EQ(s.customname().lengthrange().max(), 10U);
    EXPECT_EQ(s.customname().default_(), "");
    EXPECT_EQ(s.customname().permission(), protobuf::PERMISSION_READ);

    const auto& balance = s.trim().balance();
    EXPECT_EQ(balance.range().min(), -50);
    EXPECT_EQ(balance.range().max(), 50);
    EXPECT_EQ(balance.increment(), 1);
    EXPECT_EQ(balance.default_(), 0);
    EXPECT_EQ(balance.units(), "dB");
    EXPECT_EQ(balance.permission(), protobuf::PERMISSION_READ_WRITE);
    const auto& trimLevel = s.trim().trimlevel();
    EXPECT_EQ(trimLevel.range().min(), -6.0F);
    EXPECT_EQ(trimLevel.range().max(), 6.0F);
    EXPECT_EQ(trimLevel.increment(), 0.5F);
    EXPECT_EQ(trimLevel.default_(), 0.0F);
    EXPECT_EQ(trimLevel.units(), "dB");
    EXPECT_EQ(trimLevel.permission(), protobuf::PERMISSION_READ_WRITE);

    EXPECT_EQ(s.has_equalizer(), isK40);
    EXPECT_EQ(s.has_tone(), !isK40);
    if (isK40) {
      EXPECT_FALSE(s.equalizer().isenabled().default_());
      EXPECT_EQ(s.equalizer().isenabled().permission(), protobuf::PERMISSION_READ_WRITE);
    } else {
      EXPECT_FALSE(s.tone().isenabled().default_());
      EXPECT_EQ(s.tone().isenabled().permission(), protobuf::PERMISSION_READ_WRITE);
      for (const auto* level : {&s.tone().basslevel(), &s.tone().treblelevel()}) {
        EXPECT_EQ(level->range().min(), -12);
        EXPECT_EQ(level->range().max(), 12);
        EXPECT_EQ(level->increment(), 1);
        EXPECT_EQ(level->default_(), 0);
        EXPECT_EQ(level->units(), "dB");
        EXPECT_EQ(level->permission(), protobuf::PERMISSION_READ_WRITE);
      }
    }

    EXPECT_FALSE(s.has_ispassthruenabled());
    EXPECT_FALSE(s.has_ismonomodeenabled());
    EXPECT_FALSE(s.has_phonocartridge());
    EXPECT_FALSE(s.has_digitalgain());
    EXPECT_FALSE(s.has_hdmicec());
    EXPECT_FALSE(s.has_hdmilipsync());
  }
}

INSTANTIATE_TEST_SUITE_P(BothModels, AudioInputsSchemaTest,
                         ::testing::Values(DeviceState::kModelK40, DeviceState::kModelK7100),
                         [](const auto& info) {
                           return info.param == DeviceState::kModelK40 ? std::string("K40")
                                                                       : std::string("K7100");
                         });

// ---- UpdateInput: what reaches the controller ----

TEST_F(AudioInputsServiceTest, CustomNameIsSentWithItsInputId) {
  EXPECT_TRUE(update(withName(5, "Phono")).ok());
  EXPECT_EQ(pty.readMaster(8), bytes({0x91, 0x05, 'P', 'h', 'o', 'n', 'o', 0x00}));
  EXPECT_TRUE(update(withName(16, "Tape Deck!")).ok());
  EXPECT_EQ(pty.readMaster(13), std::string("\x91\x10Tape Deck!", 12) + '\0');
  EXPECT_TRUE(update(withName(1, "x")).ok());
  EXPECT_EQ(pty.readMaster(4), bytes({0x91, 0x01, 'x', 0x00}));
  // The first and the last printable character.
  EXPECT_TRUE(update(withName(2, " ~")).ok());
  EXPECT_EQ(pty.readMaster(5), bytes({0x91, 0x02, ' ', '~', 0x00}));
}

TEST_F(AudioInputsServiceTest, RequestDoesNotChangeTheTable) {
  EXPECT_TRUE(update(withName(5, "Phono")).ok());
  EXPECT_TRUE(update(withTrim(5, 10, 2.0F)).ok());
  pty.readMaster(14);
  const AudioInput entry = input(5);
  EXPECT_FALSE(entry.has_customname());
  EXPECT_FALSE(entry.has_trim());
}

TEST_F(AudioInputsServiceTest, TrimIsSentOnlyWhereItDiffersFromTheStoredValue) {
  // Nothing stored compares as balance 0 and trim 0.0.
  EXPECT_TRUE(update(withTrim(3, 0, 0.0F)).ok());
  EXPECT_EQ(pty.readMaster(), "");
  EXPECT_TRUE(update(withTrim(3, 0, -1.5F)).ok());
  EXPECT_EQ(pty.readMaster(3), bytes({0x93, 0x0A, 0x00}));

  service.updateBalance(10);
  service.updateTrimLevel(3, -1.5F);
  EXPECT_TRUE(update(withTrim(3, 10, -1.5F)).ok());
  EXPECT_EQ(pty.readMaster(), "");
  // Another input has its own trim level, but the balance is shared.
  EXPECT_TRUE(update(withTrim(4, 10, -1.5F)).ok());
  EXPECT_EQ(pty.readMaster(3), bytes({0x93, 0x0A, 0x00}));
  EXPECT_TRUE(update(withTrim(3, -10, -1.5F)).ok());
  EXPECT_EQ(pty.readMaster(3), bytes({0x92, 41, 0x00}));
}

struct EncodingCase {
  UpdateAudioInputRequest request;
  std::string wire;
};

TEST_F(AudioInputsServiceTest, ValuesAreEncodedWithTheirOffsets) {
  const std::vector<EncodingCase> cases = {
      {withTrim(1, -50, 0.0F), bytes({0x92, 1, 0x00})},
      {withTrim(1, 50, 0.0F), bytes({0x92, 101, 0x00})},
      {withTrim(1, 0, -6.0F), bytes({0x93, 1, 0x00})},
      {withTrim(1, 0, 6.0F), bytes({0x93, 25, 0x00})},
      {withTrim(1, 0, 0.5F), bytes({0x93, 14, 0x00})},
      {withTone(1, false, -12, 0), bytes({0x95, 1, 0x00})},
      {withTone(1, false, 12, 0), bytes({0x95, 25, 0x00})},
      {withTone(1, false, 0, -12), bytes({0x96, 1, 0x00})},
      {withTone(1, false, 0, 12), bytes({0x96, 25, 0x00})},
      {withTone(1, true, 0, 0), bytes({0x94, '1', 0x00})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request.ShortDebugString());
    EXPECT_TRUE(update(c.request).ok());
    EXPECT_EQ(pty.readMaster(c.wire.size()), c.wire);
  }
}

TEST_F(AudioInputsServiceTest, EverySettingGoesOutInItsOrder) {
  UpdateAudioInputRequest r = withTone(7, true, -3, 4);
  r.set_customname("Tuner");
  r.mutable_trim()->set_balance(10);
  r.mutable_trim()->set_trimlevel(2.0F);
  r.mutable_equalizer()->set_isenabled(true);
  EXPECT_TRUE(update(r).ok());
  const std::string expected =
      bytes({0x91, 0x07, 'T',  'u',  'n', 'e',  'r',  0x00,  //
             0x92, 61,   0x00, 0x93, 17,  0x00,              //
             0x94, '1',  0x00, 0x95, 10,  0x00, 0x96, 17,   0x00, 0x97, '1', 0x00});
  EXPECT_EQ(pty.readMaster(expected.size()), expected);

  // Once the controller has reported the same values, only the name goes out again.
  service.updateBalance(10);
  service.updateTrimLevel(7, 2.0F);
  service.updateToneEnabled(7, true);
  service.updateBassLevel(7, -3);
  service.updateTrebleLevel(7, 4);
  service.updateEqualizerEnabled(7, true);
  EXPECT_TRUE(update(r).ok());
  EXPECT_EQ(pty.readMaster(8), bytes({0x91, 0x07, 'T', 'u', 'n', 'e', 'r', 0x00}));

  // And a single change sends that one setting alone.
  r.clear_customname();
  r.mutable_tone()->set_treblelevel(5);
  r.mutable_equalizer()->set_isenabled(false);
  EXPECT_TRUE(update(r).ok());
  EXPECT_EQ(pty.readMaster(6), bytes({0x96, 18, 0x00, 0x97, '0', 0x00}));
}

TEST_F(AudioInputsServiceTest, FieldsTheControllerDoesNotTakeAreIgnored) {
  UpdateAudioInputRequest r;
  r.set_id(2);
  r.set_isenabled(false);
  r.set_ismonomodeenabled(true);
  r.set_digitalgain(3);
  r.mutable_hdmicec()->set_ispowerenabled(true);
  EXPECT_TRUE(update(r).ok());
  EXPECT_EQ(pty.readMaster(), "");
}

class AudioInputsK40Test : public AudioInputsServiceTest {
 protected:
  AudioInputsK40Test() : AudioInputsServiceTest(DeviceState::kModelK40) {}
};

TEST_F(AudioInputsK40Test, ToneIsSentEvenThoughTheModelHasNone) {
  EXPECT_TRUE(update(withTone(2, true, 5, 0)).ok());
  EXPECT_EQ(pty.readMaster(6), bytes({0x94, '1', 0x00, 0x95, 18, 0x00}));
}

// ---- UpdateInput: refused requests ----

struct RefusalCase {
  const char* what;
  UpdateAudioInputRequest request;
  grpc::StatusCode code;
  std::string message;
};

std::vector<RefusalCase> refusalCases() {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float infinity = std::numeric_limits<float>::infinity();
  // Each request also carries a valid change, so a partial send would show.
  auto changedTone = [](UpdateAudioInputRequest r) {
    r.mutable_tone()->set_isenabled(true);
    return r;
  };
  auto nameAndTrim = [](const std::string& name, int balance) {
    UpdateAudioInputRequest r = withTrim(3, balance, 1.0F);
    r.set_customname(name);
    return r;
  };
  const auto invalidArgument = grpc::StatusCode::INVALID_ARGUMENT;
  return {
      {"id 0", changedTone(withTrim(0, 5, 1.0F)), grpc::StatusCode::NOT_FOUND, "Invalid ID"},
      {"id 17", changedTone(withTrim(17, 5, 1.0F)), grpc::StatusCode::NOT_FOUND, "Invalid ID"},
      {"id 2^32-1", changedTone(withTrim(0xFFFFFFFFU, 5, 1.0F)), grpc::StatusCode::NOT_FOUND,
       "Invalid ID"},
      {"empty name", nameAndTrim("", 5), invalidArgument, "Invalid Custom Name Length"},
      {"eleven characters", nameAndTrim("ABCDEFGHIJK", 5), invalidArgument,
       "Invalid Custom Name Length"},
      {"tab", nameAndTrim("Tape\tDeck", 5), invalidArgument, "Invalid Custom Name"},
      {"0x1F", nameAndTrim("Tape\x1F", 5), invalidArgument, "Invalid Custom Name"},
      // A zero byte would end the frame in the middle of the name.
      {"zero byte", nameAndTrim(std::string("Tape\0Deck", 9), 5), invalidArgument,
       "Invalid Custom Name"},
      {"DEL", nameAndTrim("Tape\x7F", 5), invalidArgument, "Invalid Custom Name"},
      {"non-ASCII", nameAndTrim("Caf\xC3\xA9", 5), invalidArgument, "Invalid Custom Name"},
      // The name is checked before the values.
      {"bad name and balance", nameAndTrim("", 99), invalidArgument, "Invalid Custom Name Length"},
      {"good name, bad balance", nameAndTrim("Tuner", 51), invalidArgument, "Invalid Balance"},
      {"balance -51", changedTone(withTrim(3, -51, 0.0F)), invalidArgument, "Invalid Balance"},
      {"balance 51", changedTone(withTrim(3, 51, 0.0F)), invalidArgument, "Invalid Balance"},
      {"trim 6.5", changedTone(withTrim(3, 0, 6.5F)), invalidArgument, "Invalid Trim Level"},
      {"trim -6.5", changedTone(withTrim(3, 0, -6.5F)), invalidArgument, "Invalid Trim Level"},
      {"trim 0.25", changedTone(withTrim(3, 0, 0.25F)), invalidArgument, "Invalid Trim Level"},
      {"trim -1.3", changedTone(withTrim(3, 0, -1.3F)), invalidArgument, "Invalid Trim Level"},
      {"trim NaN", changedTone(withTrim(3, 0, nan)), invalidArgument, "Invalid Trim Level"},
      {"trim infinity", changedTone(withTrim(3, 0, infinity)), invalidArgument,
       "Invalid Trim Level"},
      {"trim -infinity", changedTone(withTrim(3, 0, -infinity)), invalidArgument,
       "Invalid Trim Level"},
      {"bass -13", withTone(3, true, -13, 0), invalidArgument, "Invalid Bass Level"},
      {"bass 13", withTone(3, true, 13, 0), invalidArgument, "Invalid Bass Level"},
      {"treble -13", withTone(3, true, 0, -13), invalidArgument, "Invalid Treble Level"},
      {"treble 13", withTone(3, true, 0, 13), invalidArgument, "Invalid Treble Level"},
  };
}

TEST_F(AudioInputsServiceTest, RefusedRequestSendsNothingAtAll) {
  for (const auto& c : refusalCases()) {
    SCOPED_TRACE(c.what);
    const grpc::Status status = update(c.request);
    EXPECT_EQ(status.error_code(), c.code);
    EXPECT_EQ(status.error_message(), c.message);
    EXPECT_EQ(pty.readMaster(), "");
  }
}

TEST_F(AudioInputsServiceTest, ValuesAtTheEdgesOfTheSchemaAreAccepted) {
  UpdateAudioInputRequest r = withTone(16, true, 12, -12);
  r.mutable_trim()->set_balance(-50);
  r.mutable_trim()->set_trimlevel(-6.0F);
  r.set_customname("ABCDEFGHIJ");
  EXPECT_TRUE(update(r).ok());
  const std::string expected =
      std::string(
          "\x91\x10"
          "ABCDEFGHIJ") +
      bytes({0x00, 0x92, 1, 0x00, 0x93, 1, 0x00, 0x94, '1', 0x00, 0x95, 25, 0x00, 0x96, 1, 0x00});
  EXPECT_EQ(pty.readMaster(expected.size()), expected);
}

// ---- Controller reports ----

TEST_F(AudioInputsServiceTest, BalanceReportReachesEveryInput) {
  service.updateBalance(10);  // report 0x92 with byte 61
  for (const AudioInput& entry : inputs()) {
    SCOPED_TRACE(entry.id());
    EXPECT_TRUE(entry.has_trim());
    EXPECT_EQ(entry.trim().balance(), 10);
    EXPECT_EQ(entry.trim().trimlevel(), 0.0F);
  }
}

TEST_F(AudioInputsServiceTest, PassthruReportMarksExactlyOneInput) {
  service.updatePassthruInput(3);
  for (const AudioInput& entry : inputs()) {
    SCOPED_TRACE(entry.id());
    EXPECT_TRUE(entry.has_ispassthruenabled());
    EXPECT_EQ(entry.ispassthruenabled(), entry.id() == 3U);
  }
  // A report without its byte reads as input 0; neither 0 nor 17 is an input.
  for (int id : {0, 17}) {
    service.updatePassthruInput(3);
    service.updatePassthruInput(id);
    for (const AudioInput& entry : inputs()) {
      SCOPED_TRACE(::testing::Message() << "report " << id << ", entry " << entry.id());
      EXPECT_TRUE(entry.has_ispassthruenabled());
      EXPECT_FALSE(entry.ispassthruenabled());
    }
  }
}

TEST_F(AudioInputsServiceTest, PerInputReportsChangeOnlyTheirEntry) {
  service.updateInputEnabled(4, false);
  service.updateInputCustomName(4, "Tape");
  service.updateTrimLevel(4, -1.5F);
  service.updateToneEnabled(4, true);
  service.updateBassLevel(4, -12);
  service.updateTrebleLevel(4, 12);
  service.updateEqualizerEnabled(4, true);

  const AudioInput entry = input(4);
  EXPECT_FALSE(entry.isenabled());
  EXPECT_EQ(entry.customname(), "Tape");
  EXPECT_EQ(entry.trim().trimlevel(), -1.5F);
  EXPECT_EQ(entry.trim().balance(), 0);
  EXPECT_TRUE(entry.tone().isenabled());
  EXPECT_EQ(entry.tone().basslevel(), -12);
  EXPECT_EQ(entry.tone().treblelevel(), 12);
  EXPECT_TRUE(entry.equalizer().isenabled());

  for (const AudioInput& other : inputs()) {
    if (other.id() == 4U) continue;
    SCOPED_TRACE(other.id());
    EXPECT_TRUE(other.isenabled());
    EXPECT_FALSE(other.has_customname());
    EXPECT_FALSE(other.has_trim());
    EXPECT_FALSE(other.has_tone());
    EXPECT_FALSE(other.has_equalizer());
  }
}

TEST_F(AudioInputsServiceTest, ReportsForIdsOutsideTheTableChangeNothing) {
  const std::vector<AudioInput> before = inputs();
  for (int id : {0, 17, -1}) {
    service.updateInputEnabled(id, false);
    service.updateInputCustomName(id, "X");
    service.updateTrimLevel(id, 1.0F);
    service.updateToneEnabled(id, true);
    service.updateBassLevel(id, 1);
    service.updateTrebleLevel(id, 1);
    service.updateEqualizerEnabled(id, true);
  }
  const std::vector<AudioInput> after = inputs();
  ASSERT_EQ(after.size(), before.size());
  for (std::size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].SerializeAsString(), before[i].SerializeAsString()) << "entry " << i + 1;
  }
}

}  // namespace
}  // namespace vantorellabs

// Includes no generated header and names no generated symbol, on purpose: it is the program
// a linker is most tempted to strip. Reflection over the API (clients discover services and
// read vl_service_id and vl_method_id at run time) needs every file's descriptor in the
// generated pool of any program that links the API library, referenced or not.

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <gtest/gtest.h>

namespace {

using google::protobuf::DescriptorPool;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

const DescriptorPool& pool() { return *DescriptorPool::generated_pool(); }

TEST(ApiDescriptorLinkTest, EveryFileIsInTheGeneratedPool) {
  for (const char* name : {
           "core.proto",
           "audio_core.proto",
           "network_core.proto",
           "feature_availability_service.proto",
           "information_service.proto",
           "system_service.proto",
           "name_service.proto",
           "network_information_service.proto",
           "network_configuration_service.proto",
           "firmware_service.proto",
           "volume_service.proto",
           "audio_inputs_service.proto",
           "audio_inputs_activation_service.proto",
           "audio_outputs_service.proto",
           "audio_input_control_service.proto",
           "index.proto",
       }) {
    EXPECT_NE(pool().FindFileByName(name), nullptr) << name;
  }
}

TEST(ApiDescriptorLinkTest, CustomOptionValuesAreReadableByReflection) {
  const FieldDescriptor* serviceId =
      pool().FindExtensionByName("vantorellabs.protobuf.vl_service_id");
  const FieldDescriptor* methodId =
      pool().FindExtensionByName("vantorellabs.protobuf.vl_method_id");
  ASSERT_NE(serviceId, nullptr);
  ASSERT_NE(methodId, nullptr);

  // The one service that the daemon does not serve still has to be visible to reflection.
  const auto* service =
      pool().FindServiceByName("vantorellabs.protobuf.NetworkConfigurationService");
  ASSERT_NE(service, nullptr);
  const Message& serviceOptions = service->options();
  EXPECT_EQ(serviceOptions.GetReflection()->GetUInt32(serviceOptions, serviceId), 6U);

  const auto* method = service->FindMethodByName("UpdateEthernetNetworkConfiguration");
  ASSERT_NE(method, nullptr);
  const Message& methodOptions = method->options();
  EXPECT_EQ(methodOptions.GetReflection()->GetUInt32(methodOptions, methodId), 5U);
}

}  // namespace

// The module's exported entry points: exports, identity, service lookup,
// registration, attach and done.
#include "kvhost/recording.h"
#include "kvhost/services.h"
#include "test_support.h"

namespace {

using kvtest::component;

std::vector<std::string> g_lookups;
std::vector<std::string> g_offers;
// The lookup or offer of this name answers this status.
std::string g_fail_name;
HostStatus g_fail_status = 0;

HostStatus logging_lookup(const char* name, void* slot, const char* component_name) {
    g_lookups.push_back(name);
    EXPECT_STREQ(component_name, "LZW");
    if (g_fail_name == name) return g_fail_status;
    return kvhost::lookup_service(name, slot, component_name);
}

HostStatus logging_offer(void* context, const char* name, void* function, void* reserved) {
    g_offers.push_back(name);
    EXPECT_EQ(context, reinterpret_cast<void*>(0x1234));
    EXPECT_NE(function, nullptr);
    EXPECT_EQ(reserved, nullptr);
    return g_fail_name == name ? g_fail_status : 0;
}

class EntryPoints : public ::testing::Test {
protected:
    void SetUp() override {
        component().stop();
        g_lookups.clear();
        g_offers.clear();
        g_fail_name.clear();
        kvhost::clear_errors();
    }
    void TearDown() override {
        kvhost::recording::stop();
        component().done();
        kvtest::restart_component();
    }
};

TEST(ComponentLibrary, ExportsExactlyTheFourEntryPoints) {
    const kvtest::ToolRun nm = kvtest::run_shell(std::string(KVLZW_NM) + " -D --defined-only " + KVLZW_MODULE_PATH +
                                                 " | awk '$2 == \"T\" { print $3 }'");
    EXPECT_EQ(nm.status, 0);
    EXPECT_EQ(nm.out, "CPb_LZW_attach\nCPb_LZW_done\nCPb_LZW_info_get\nCPb_LZW_init\n") << "nm lists them by name";
}

TEST_F(EntryPoints, InfoGetWritesOnlyTheArgumentsGiven) {
    EXPECT_EQ(component().info_get(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    // The name, version and date: `kvlzw version` (Tool tests) prints them.
    const char* description = nullptr;
    EXPECT_EQ(component().info_get(nullptr, nullptr, nullptr, nullptr, nullptr, &description), 0);
    EXPECT_STREQ(description, "Tarsenic Ombrolux19 LZW component");
}

TEST_F(EntryPoints, InitLooksUpEveryServiceInOrderThenRegistersAndDoneUndoesIt) {
    // done without init calls nothing.
    kvhost::recording::start();
    EXPECT_EQ(component().done(), 0);
    EXPECT_TRUE(kvhost::recording::calls().empty());

    std::vector<std::string> expected;
#define KV_EXPECTED_NAME(name, ret, params) expected.push_back("CORE." #name);
    KV_HOST_SERVICES(KV_EXPECTED_NAME)
#undef KV_EXPECTED_NAME
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        g_lookups.clear();
        kvhost::recording::start();
        ASSERT_EQ(component().init(&logging_lookup), 0);
        kvhost::recording::stop();
        EXPECT_EQ(g_lookups, expected) << "every init looks every service up again";
        EXPECT_EQ(kvhost::recording::service_sequence(),
                  (std::vector<std::string>{"GPb_fltrm_filter_register", "GPb_fltrm_filter_register",
                                            "GPb_mult_source_register"}));
        EXPECT_TRUE(kvhost::find_filter(KV_FORMAT_GIF).control != nullptr);
        EXPECT_TRUE(kvhost::find_filter(KV_FORMAT_RAW_LZW).control != nullptr);
        EXPECT_EQ(kvhost::registered_mult_sources().size(), 1u);

        // done undoes all three registrations, in order.
        kvhost::recording::start();
        EXPECT_EQ(component().done(), 0);
        ASSERT_EQ(kvhost::recording::service_sequence(),
                  (std::vector<std::string>{"GPb_fltrm_filter_unregister", "GPb_fltrm_filter_unregister",
                                            "GPb_mult_source_unregister"}));
        EXPECT_EQ(kvhost::recording::calls()[0].args, (std::vector<std::string>{"null", "14"}));
        EXPECT_EQ(kvhost::recording::calls()[1].args, (std::vector<std::string>{"null", "109"}));
        EXPECT_EQ(kvhost::registered_filters().size(), 0u);
        EXPECT_TRUE(kvhost::registered_mult_sources().empty());
    }
}

TEST_F(EntryPoints, FailedLookupStopsInitAndLeavesNothingRegistered) {
    // done tests its own slots: after a failure at the first service it calls
    // nothing; after a later one it unregisters what it can reach.
    const std::string unregister = "GPb_fltrm_filter_unregister";
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"CORE.AF_memm_unique_tag_get", {}},
        {"CORE.GPb_mult_source_register", {unregister, unregister}},
        {"CORE.GPr_load_CB_data_done", {unregister, unregister, "GPb_mult_source_unregister"}}};
    g_fail_status = -77;
    for (const auto& [failing, done_calls] : cases) {
        SCOPED_TRACE(failing);
        g_fail_name = failing;
        kvhost::recording::start();
        EXPECT_EQ(component().init(&logging_lookup), -77);
        EXPECT_EQ(g_lookups.back(), failing);
        EXPECT_EQ(kvhost::registered_filters().size(), 0u);
        EXPECT_TRUE(kvhost::error_records().empty()) << "the component records nothing for a failed lookup";
        EXPECT_EQ(component().done(), 0);
        EXPECT_EQ(kvhost::recording::service_sequence(), done_calls);
    }
}

TEST_F(EntryPoints, RawFilterRegistrationFailureEndsInit) {
    kvhost::fail_filter_registration_of(KV_FORMAT_RAW_LZW, -55);
    EXPECT_EQ(component().init(&kvhost::lookup_service), -55);
    EXPECT_TRUE(kvhost::find_filter(KV_FORMAT_GIF).control != nullptr) << "the GIF filter stays registered";
    EXPECT_TRUE(kvhost::registered_mult_sources().empty());
    component().done();

    // A refused GIF registration is not examined: init goes on and succeeds.
    kvhost::clear_registry_faults();
    kvhost::fail_filter_registration_of(KV_FORMAT_GIF, -56);
    EXPECT_EQ(component().init(&kvhost::lookup_service), 0);
    EXPECT_TRUE(kvhost::find_filter(KV_FORMAT_RAW_LZW).control != nullptr);
    EXPECT_EQ(kvhost::registered_mult_sources().size(), 1u);
}

TEST_F(EntryPoints, AttachOffersTheThreeServicesAndStopsAtARefusal) {
    EXPECT_EQ(component().attach(reinterpret_cast<void*>(0x1234), &logging_offer), 0);
    EXPECT_EQ(g_offers, (std::vector<std::string>{"TIF_Proc_LZW_Comp", "TIFF_LZW_Write", "KV_LZW_compress"}));

    g_offers.clear();
    g_fail_name = "TIFF_LZW_Write";
    g_fail_status = -31;
    EXPECT_EQ(component().attach(reinterpret_cast<void*>(0x1234), &logging_offer), -31);
    EXPECT_EQ(g_offers, (std::vector<std::string>{"TIF_Proc_LZW_Comp", "TIFF_LZW_Write"}));
}

}  // namespace

#pragma once
// The fixture of the collector tests that read a registry, known folders and
// shortcuts of the test's own: each in place of the real facility for the
// test, a private folder, and the collector's run.

#include <gtest/gtest.h>

#include "fakes/apps_fakes.h"
#include "fakes/fake_registry.h"
#include "record/apps/collector_run.h"
#include "test_support.h"

namespace orvalinth::test {

class ShellCollectorTest : public ::testing::Test {
 protected:
  TempFolder dir_;
  FakeRegistry registry_;
  platform::ScopedFacility<platform::Registry> use_registry_{registry_};
  FakeKnownFolders folders_;
  platform::ScopedFacility<platform::KnownFolder> use_folders_{folders_};
  FakeShellLinks links_;
  platform::ScopedFacility<platform::ShellLinks> use_links_{links_};
  CollectorRun run_;
};

}  // namespace orvalinth::test

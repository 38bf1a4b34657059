// The objects this test program has loaded, listed once (outside any crash) and kept for the program's
// life; their task is this process, also for a child forked afterwards, which reads them through it.
#pragma once

#include "crashreporter/crsh_image_list.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace crashtest {

inline crsh_image_list* loadedObjects()
{
    static crsh_image_list* list = [] {
        auto* made = new crsh_image_list{};
        EXPECT_EQ(crsh_image_list_init(made, getpid()), CRSH_ERR_NONE);
        EXPECT_EQ(crsh_image_list_append_loaded_objects(made), CRSH_ERR_NONE);
        return made;
    }();
    return list;
}

} // namespace crashtest

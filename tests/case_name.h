// SPDX-License-Identifier: MIT
// Test names for table rows: a row's name with anything but letters and
// digits turned into '_'.
#ifndef ARTFLASH_TESTS_CASE_NAME_H
#define ARTFLASH_TESTS_CASE_NAME_H

#include <gtest/gtest.h>

#include <cctype>
#include <string>

struct CaseName {
	template <class T>
	std::string operator()(const testing::TestParamInfo<T> &info) const
	{
		std::string name = info.param.name;
		for (char &ch : name)
			if (!isalnum((unsigned char)ch))
				ch = '_';
		return name;
	}
};

#endif

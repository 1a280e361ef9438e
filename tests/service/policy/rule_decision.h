// A policy decision for the tests: a small rule table keyed by lookup-URL prefix (redirect, hold
// until released, or fail), and a record of every query it was asked.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "os/core/sync.h"
#include "service/policy/policy_lookup.h"

namespace wexo::svc::testing {

struct ASKED_QUERY {
    bool https;
    std::string lookupUrl;
    std::string addressText;
    std::string userName;
    std::string deviceId;
    uint32_t flowNumber;
    uint32_t callNumber;
};

class RULE_DECISION final : public POLICY_DECISION {
  public:
    enum class Action { Redirect, Hold, Fail };

    void Redirect(std::string prefix, std::string redirectUrl) {
        Add(RULE{std::move(prefix), Action::Redirect, std::move(redirectUrl)});
    }
    // The lookup waits (an os wait) until Release(); `entered` is set when one arrives.
    void Hold(std::string prefix) { Add(RULE{std::move(prefix), Action::Hold, {}}); }
    void Fail(std::string prefix) { Add(RULE{std::move(prefix), Action::Fail, {}}); }
    void Release() { release_.Set(); }
    os::Event& Entered() { return entered_; }

    bool Decide(const POLICY_QUERY& query, std::string* redirectUrl) override {
        RULE rule;
        bool matched = false;
        {
            std::lock_guard guard(lock_);
            asked_.push_back(ASKED_QUERY{query.https, std::string(query.lookupUrl),
                                         std::string(query.addressText),
                                         std::string(query.userName), std::string(query.deviceId),
                                         query.flowNumber, query.callNumber});
            for (const RULE& r : rules_) {
                if (query.lookupUrl.substr(0, r.prefix.size()) == r.prefix) {
                    rule = r;
                    matched = true;
                    break;
                }
            }
        }
        if (!matched) {
            return false;
        }
        switch (rule.action) {
            case Action::Redirect:
                *redirectUrl = rule.redirectUrl;
                return true;
            case Action::Hold:
                entered_.Set();
                os::WaitForSingleObject(release_, os::INFINITE);
                return false;
            case Action::Fail:
                throw std::runtime_error("decision failed for " + std::string(query.lookupUrl));
        }
        return false;
    }

    std::vector<ASKED_QUERY> Asked() const {
        std::lock_guard guard(lock_);
        return asked_;
    }

  private:
    struct RULE {
        std::string prefix;
        Action action = Action::Redirect;
        std::string redirectUrl;
    };
    void Add(RULE rule) {
        std::lock_guard guard(lock_);
        rules_.push_back(std::move(rule));
    }

    mutable std::mutex lock_;
    std::vector<RULE> rules_;
    std::vector<ASKED_QUERY> asked_;
    os::Event entered_{os::EventType::Notification, false};
    os::Event release_{os::EventType::Notification, false};
};

}  // namespace wexo::svc::testing

// The bot's fixed texts: the help text and the commands' usage and description texts.
#pragma once

namespace zt::bot {

inline constexpr const char* kHelpText =
    "\n"
    "    <Zandor-Trader TelegramBot> Available commands:\"\n"
    "    1. /stop\n"
    "    2. /balance\n"
    "    3. /positions\n"
    "    4. /orders\n"
    "    5. /deals\n"
    "    6. /cancel_order\n"
    "    7. /cancel_orders\n"
    "    8. /send_order\n"
    "    9. /close_positions\n"
    "    10. /help\n"
    "    ";

// Usage texts: sent back when a command's arguments are malformed.
inline constexpr const char* kOrdersUsage =
    "/orders [parameters]: Fetch orders\n"
    "- filter:str (optional) if \"-a\", only return alive orders\n"
    "- n:int (optional) number of displayed records";
inline constexpr const char* kDealsUsage =
    "/deals [parameters]: fetch done deals\n"
    "- n:int (optional) number of displayed records";
inline constexpr const char* kCancelOrderUsage =
    "/cancel_order [parameters]: cancel an active order\n"
    "- order_id: str, the id of the order\n"
    "- gateway_name: str, the name of the gateway";
inline constexpr const char* kSendOrderUsage =
    "/send_order [parameters] send an order with string instruction:\n"
    "- order_string: str, security_code, quantity, direction(l/s), offset(o/c),\n"
    "                order_type(m/l/s), gateway_name, price(None),\n"
    "                stop_price(None)";
inline constexpr const char* kClosePositionsUsage =
    "/close_positions [parameters]:\n"
    "- gateway_name: str, the name of the gateway";

// Descriptions of the handlers without arguments (their doc texts only).
inline constexpr const char* kStopDoc = "/stop [no parameters]: Stop the engine";
inline constexpr const char* kBalanceDoc = "/balance [no parameters]: Fetch balance";
inline constexpr const char* kPositionsDoc =
    "/positions [no parameters]: Fetch positions of all gateways";
inline constexpr const char* kCancelOrdersDoc =
    "/cancel_orders [no parameters]: cancel all active orders";
inline constexpr const char* kEchoDoc = "Echo command";
inline constexpr const char* kHelpDoc = "/help [no parameters]: Show the available commands";

}  // namespace zt::bot

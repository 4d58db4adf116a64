<?php
// Stands in for the vendor's web server: the program under test runs with http_proxy
// pointing at `php -S 127.0.0.1:PORT vendor_proxy.php`, so it sends its request for
// http://www.glebarium.com.br/web/backup_antigo.php here, unchanged. Anything else gets
// 502, as a proxy that cannot reach a host answers.
//
// Environment, besides backup_service.php's own:
//   GLB_ARRIVED_FILE  touched when a request arrives (lets a driver wait on it)
//   GLB_REPLY_DELAY_MS  a pause before answering (for screenshots of a send in progress)
//   GLB_REQUEST_LOG   a file that gets one JSON line per request: its line, its headers as
//                     they came and the length of the body that arrived

$uri = $_SERVER['REQUEST_URI'];
$requestLog = getenv('GLB_REQUEST_LOG');
if ($requestLog !== false && $requestLog !== '') {
    $entry = ['method' => $_SERVER['REQUEST_METHOD'], 'target' => $uri, 'headers' => getallheaders(),
              'body_length' => strlen(file_get_contents('php://input'))];
    file_put_contents($requestLog, json_encode($entry) . "\n", FILE_APPEND | LOCK_EX);
}
$host = parse_url($uri, PHP_URL_HOST) ?? ($_SERVER['HTTP_HOST'] ?? '');
$path = parse_url($uri, PHP_URL_PATH);
if ($host !== 'www.glebarium.com.br' || $path !== '/web/backup_antigo.php') {
    http_response_code(502);
    header('Content-Type: text/plain');
    echo "No route to $host\n";
    return true;
}
$arrived = getenv('GLB_ARRIVED_FILE');
if ($arrived !== false && $arrived !== '') {
    touch($arrived);
}
$delay = (int)getenv('GLB_REPLY_DELAY_MS');
if ($delay > 0) {
    usleep($delay * 1000);
}
require __DIR__ . '/../service/php/backup_service.php';

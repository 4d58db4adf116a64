<?php
// A backup service for tests and the demo: answers UploadBackup over SOAP 1.1 (RPC/encoded)
// on the PHP built-in web server:
//
//   php -d post_max_size=1G -d memory_limit=4G -S 127.0.0.1:PORT backup_service.php
//
// Environment:
//   GLB_BACKUP_DIR   folder where every decoded archive is stored under its NOME, with
//                    manifest.txt: "nome\t<nome>", "cpf\t<cpf>", then one line per record,
//                    "<NOME>\t<size>\t<md5 of the decoded BUF>"; nothing is stored when unset
//   GLB_REPLY_TEXT   the reply text; "%d" stands for the number of records
//   GLB_FAULT_TEXT   when set, every call fails with a SOAP fault (Server) with this text
//   GLB_SINK         when "1", the request is read and dropped unparsed and a fixed reply
//                    comes back: the cost of carrying the request, without decoding it

function UploadBackup($nome, $cpf, $arquivo)
{
    $fault = getenv('GLB_FAULT_TEXT');
    if ($fault !== false) {
        throw new SoapFault('Server', $fault);
    }
    if ($arquivo === null) {
        $records = [];
    } elseif (is_array($arquivo)) {
        $records = $arquivo;
    } else {
        $records = [$arquivo];
    }

    $dir = getenv('GLB_BACKUP_DIR');
    $manifest = "nome\t" . $nome . "\ncpf\t" . $cpf . "\n";
    foreach ($records as $record) {
        $name = (string)$record->NOME;
        $data = base64_decode((string)$record->BUF, true);
        if ($data === false) {
            throw new SoapFault('Client', 'BUF de ' . $name . ' não é Base64');
        }
        if (basename($name) !== $name || $name === '' || $name === '.' || $name === '..') {
            throw new SoapFault('Client', 'Nome de arquivo inválido: ' . $name);
        }
        $manifest .= $name . "\t" . strlen($data) . "\t" . md5($data) . "\n";
        if ($dir !== false && $dir !== '') {
            file_put_contents($dir . '/' . $name, $data);
        }
        unset($data);
    }
    if ($dir !== false && $dir !== '') {
        file_put_contents($dir . '/manifest.txt', $manifest);
        // One line per call the service carried out, to count the complete requests it took.
        file_put_contents($dir . '/calls.txt', "UploadBackup\n", FILE_APPEND | LOCK_EX);
    }

    $reply = getenv('GLB_REPLY_TEXT');
    if ($reply === false) {
        $reply = 'Backup recebido com sucesso: %d arquivo(s).';
    }
    return str_replace('%d', (string)count($records), $reply);
}

if ($_SERVER['REQUEST_METHOD'] !== 'POST') {
    header('Content-Type: text/plain');
    echo "BackupGlebarium test service\n";
    return true;
}

if (getenv('GLB_SINK') === '1') {
    $length = strlen(file_get_contents('php://input'));
    header('Content-Type: text/xml; charset=utf-8');
    echo '<?xml version="1.0" encoding="UTF-8"?>' . "\n"
        . '<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/">'
        . '<SOAP-ENV:Body><ns1:UploadBackupResponse xmlns:ns1="urn:BackupGlebarium">'
        . '<return>' . $length . ' bytes</return></ns1:UploadBackupResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>' . "\n";
    return true;
}

$server = new SoapServer(null, ['uri' => 'urn:BackupGlebarium', 'soap_version' => SOAP_1_1]);
$server->addFunction('UploadBackup');
$server->handle();
